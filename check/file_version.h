// The file version of an installed image, read from the image itself (never from its language
// satellite): the version API of version.dll, which the check loads only when it needs a
// version, by its full path in the system directory.
#pragma once

#include <string>

#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace vannix {

class FileVersionReader {
 public:
  // Loads `system_dir`version.dll on the first Read: never through the DLL search path, and
  // not at all when no file needs its version (version.dll is no import of the check).
  FileVersionReader(platform::Platform& platform, std::u16string system_dir);

  // "a.b.c.d" from the VS_FIXEDFILEINFO of the file at `path`; empty when the file has no
  // version block, it cannot be read, or version.dll or one of its exports is missing.
  std::u16string Read(const std::u16string& path);

 private:
  platform::Platform& platform_;
  std::u16string system_dir_;
  bool loaded_ = false;
  platform::UniqueLibrary version_;
  platform::ProcAddress info_size_ex_ = 0;  // Vista on
  platform::ProcAddress info_ex_ = 0;
  platform::ProcAddress info_size_ = 0;
  platform::ProcAddress info_ = 0;
  platform::ProcAddress query_ = 0;
};

}  // namespace vannix
