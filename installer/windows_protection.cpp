#include "installer/windows_protection.h"

#include <utility>

namespace vannix {

WindowsProtection::WindowsProtection(platform::Platform& platform, std::u16string system_dir)
    : platform_(platform), system_dir_(std::move(system_dir)), sfc_os_(platform, 0),
      sfc_(platform, 0) {}

bool WindowsProtection::IsProtected(const std::u16string& path) {
  if (!loaded_) {
    loaded_ = true;
    const auto load = [&](std::u16string_view name) {
      return platform::UniqueLibrary(platform_,
                                     platform_.LoadLibraryW(system_dir_ + std::u16string(name)));
    };
    sfc_os_ = load(u"sfc_os.dll");
    sfc_ = load(u"sfc.dll");
    if (sfc_) is_file_protected_ = platform_.GetProcAddress(sfc_.GetUnsafe(), "SfcIsFileProtected");
  }
  return is_file_protected_ != 0 && platform_.CallSfcIsFileProtected(is_file_protected_, path);
}

}  // namespace vannix
