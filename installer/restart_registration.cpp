#include "installer/restart_registration.h"

#include "installer/registration.h"
#include "installer/registry_text.h"
#include "installer/text.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

constexpr std::uint32_t kView64 = platform::kKeyWow64View64;

std::u16string FileNamePart(const std::u16string& path) {
  const auto separator = path.find_last_of(u"\\/");
  return separator == std::u16string::npos ? path : path.substr(separator + 1);
}

}  // namespace

std::u16string RestartRegistrationName(const std::u16string& target_path) {
  return u"setup_vannix " + FileNamePart(target_path);
}

std::u16string RestartRegistrationCommand(const std::u16string& command,
                                          const std::u16string& target_path) {
  const std::u16string tool = RegistrationTool(command);
  if (tool.empty()) return {};
  return u"\"" + tool + u"\" /s \"" + target_path + u"\"";
}

bool ScheduleRegistration(platform::Advapi32& advapi32, const std::u16string& command,
                          const std::u16string& target_path) {
  const std::u16string line = RestartRegistrationCommand(command, target_path);
  if (line.empty()) return false;
  platform::RawHandle raw = 0;
  if (advapi32.RegCreateKeyExW(platform::kHkeyLocalMachine, std::u16string(kRunOnceKey),
                               platform::kKeySetValue | kView64, &raw) != platform::kErrorSuccess) {
    return false;
  }
  const platform::UniqueRegistryKey key(advapi32, raw);
  return advapi32.RegSetValueExW(key.GetUnsafe(), RestartRegistrationName(target_path),
                                 platform::kRegSz, RegistryString(line)) == platform::kErrorSuccess;
}

bool IsRegistrationScheduled(platform::Advapi32& advapi32, const std::u16string& command,
                             const std::u16string& target_path) {
  platform::RawHandle raw = 0;
  if (advapi32.RegOpenKeyExW(platform::kHkeyLocalMachine, std::u16string(kRunOnceKey),
                             platform::kKeyRead | kView64, &raw) != platform::kErrorSuccess) {
    return false;
  }
  const platform::UniqueRegistryKey key(advapi32, raw);
  std::uint32_t type = 0;
  std::vector<std::byte> data;
  if (advapi32.RegQueryValueExW(key.GetUnsafe(), RestartRegistrationName(target_path), &type,
                                &data) != platform::kErrorSuccess ||
      (type != platform::kRegSz && type != platform::kRegExpandSz)) {
    return false;
  }
  const std::vector<std::u16string> strings = RegistryStrings(data);
  return !strings.empty() &&
         EqualIgnoringCase(strings.front(), RestartRegistrationCommand(command, target_path));
}

}  // namespace vannix
