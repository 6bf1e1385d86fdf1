// Files that Windows owns and protects (Windows Resource Protection; Windows File Protection on
// XP): msxml6.dll is one on every current Windows. Administrators may read them but not replace
// them, so neither a retry nor a replacement at the next restart can ever succeed.
#pragma once

#include <string>

#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace vannix {

class WindowsProtection {
 public:
  // Loads sfc.dll by its full path in `system_dir` (never through the DLL search path), as
  // late as possible: only the first IsProtected call loads it.
  WindowsProtection(platform::Platform& platform, std::u16string system_dir);

  // Whether Windows protects the file at `path` (its real path: SfcIsFileProtected applies no
  // WOW64 redirection). False where sfc.dll or its export is missing.
  bool IsProtected(const std::u16string& path);

 private:
  platform::Platform& platform_;
  std::u16string system_dir_;
  bool loaded_ = false;
  platform::UniqueLibrary sfc_;
  platform::ProcAddress is_file_protected_ = 0;
};

}  // namespace vannix
