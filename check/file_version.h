// The file version of an installed image, read from the image itself (never from its language
// satellite): the version API of version.dll, which the check loads only when it needs a
// version, by its full path in the system directory.
#pragma once

#include <string>

#include "platform/platform.h"
#include "platform/system_library.h"

namespace vannix {

class FileVersionReader {
 public:
  // Loads version.dll on the first Read: not at all when no file needs its version
  // (version.dll is no import of the check).
  explicit FileVersionReader(platform::Platform& platform)
      : platform_(platform), version_(platform, u"version.dll") {}

  // "a.b.c.d" from the VS_FIXEDFILEINFO of the file at `path`; empty when the file has no
  // version block, it cannot be read, or version.dll or one of its exports is missing.
  std::u16string Read(const std::u16string& path);

 private:
  platform::Platform& platform_;
  platform::SystemLibrary version_;
};

}  // namespace vannix
