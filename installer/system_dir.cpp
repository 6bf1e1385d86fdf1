#include "installer/system_dir.h"

#include <array>

#include "installer/failure.h"
#include "installer/text.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

// Room for a Windows directory of 144 characters and its NUL.
constexpr std::uint32_t kWindowsDirCapacity = 145;

}  // namespace

bool IsWow64(platform::Platform& platform) {
  const platform::UniqueLibrary kernel32(platform, platform.LoadLibraryW(u"kernel32.dll"));
  if (!kernel32) return false;
  // Looked up at run time: the export does not exist on every Windows the installer meets.
  const auto is_wow64_process = platform.GetProcAddress(kernel32.GetUnsafe(), "IsWow64Process");
  if (is_wow64_process == 0) return false;
  // The call's own result is not consulted: a failed call leaves the flag FALSE.
  std::int32_t flag = 0;
  platform.CallIsWow64Process(is_wow64_process, platform.GetCurrentProcess(), &flag);
  return flag != 0;
}

std::u16string GetSystemDir(platform::Platform& platform) {
  return SystemDirFor(platform, IsWow64(platform));
}

std::u16string SystemDirFor(platform::Platform& platform, bool wow64) {
  std::array<char16_t, kWindowsDirCapacity> buffer{};
  const std::uint32_t length =
      platform.GetSystemWindowsDirectoryW(buffer.data(), kWindowsDirCapacity);
  if (length == 0) {
    throw Failure("SystemDirectoryError",
                  u"The Windows directory cannot be read" + ErrorText(platform.GetLastError()));
  }
  if (length >= kWindowsDirCapacity) {
    throw Failure("SystemDirectoryError", u"The Windows directory is longer than " +
                                              Decimal(kWindowsDirCapacity - 1) + u" characters");
  }
  std::u16string result(buffer.data(), length);
  // Joined without looking at the directory's last character: a drive root gets "\\".
  result += wow64 ? u"\\SysWOW64" : u"\\System32";
  if (result.back() != u'\\') result += u'\\';
  return result;
}

}  // namespace vannix
