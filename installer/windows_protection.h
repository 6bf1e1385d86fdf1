// Files that Windows owns and protects (Windows Resource Protection; Windows File Protection on
// XP): msxml6.dll is one on every current Windows. Administrators may read them but not replace
// them, so neither a retry nor a replacement at the next restart can ever succeed.
#pragma once

#include <string>

#include "platform/platform.h"
#include "platform/system_library.h"

namespace vannix {

class WindowsProtection {
 public:
  // sfc.dll is loaded by the first IsProtected call, with sfc_os.dll, to which it forwards the
  // call, loaded first. Without `ask`, nothing is loaded and nothing is protected.
  explicit WindowsProtection(platform::Platform& platform, bool ask = true)
      : platform_(platform), ask_(ask), sfc_(platform, u"sfc.dll", {u"sfc_os.dll"}) {}

  // Whether Windows protects the file at `path` (its real path: SfcIsFileProtected applies no
  // WOW64 redirection). False where sfc.dll or its export is missing.
  bool IsProtected(const std::u16string& path) {
    if (!ask_) return false;
    const platform::ProcAddress is_file_protected = sfc_.Export("SfcIsFileProtected");
    return is_file_protected != 0 && platform_.CallSfcIsFileProtected(is_file_protected, path);
  }

 private:
  platform::Platform& platform_;
  const bool ask_;
  platform::SystemLibrary sfc_;
};

}  // namespace vannix
