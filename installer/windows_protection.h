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
  // late as possible: only the first IsProtected call loads it. sfc_os.dll, to which sfc.dll
  // forwards the call, is loaded from there first: where the process cannot restrict its DLL
  // search (Windows 7 without KB2533623, Vista, XP), the loader would otherwise look for it
  // in the program's own folder first.
  WindowsProtection(platform::Platform& platform, std::u16string system_dir);

  // Whether Windows protects the file at `path` (its real path: SfcIsFileProtected applies no
  // WOW64 redirection). False where sfc.dll or its export is missing.
  bool IsProtected(const std::u16string& path);

 private:
  platform::Platform& platform_;
  std::u16string system_dir_;
  bool loaded_ = false;
  platform::UniqueLibrary sfc_os_;  // released after sfc.dll, which forwards to it
  platform::UniqueLibrary sfc_;
  platform::ProcAddress is_file_protected_ = 0;
};

}  // namespace vannix
