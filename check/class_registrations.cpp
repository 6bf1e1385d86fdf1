#include "check/class_registrations.h"

#include "installer/failure.h"
#include "installer/registry_text.h"
#include "installer/text.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

using platform::Platform;

constexpr std::uint32_t kView32 = platform::kKeyRead | platform::kKeyWow64View32;

std::u16string Unquoted(std::u16string_view text) {
  if (text.size() >= 2 && text.front() == u'"' && text.back() == u'"')
    text = text.substr(1, text.size() - 2);
  return std::u16string(text);
}

// The ways a class key cannot be read that mean "no such class".
bool IsAbsent(std::int32_t status) {
  return status == static_cast<std::int32_t>(platform::kErrorFileNotFound);
}

[[noreturn]] void RaiseUnreadable(std::u16string_view what, std::int32_t status) {
  throw Failure("CheckError",
                std::u16string(what) + ErrorText(static_cast<std::uint32_t>(status)));
}

// HKLM\SOFTWARE\Classes\CLSID for reading, or none when there is none.
platform::UniqueRegistryKey OpenMachineClasses(platform::Registry& registry) {
  platform::UniqueRegistryKey classes(registry);
  const std::int32_t status = registry.RegOpenKeyExW(
      platform::kHkeyLocalMachine, u"SOFTWARE\\Classes\\CLSID", kView32, classes.put());
  if (status != platform::kErrorSuccess && !IsAbsent(status))
    RaiseUnreadable(u"the COM class registrations cannot be read", status);
  return classes;
}

}  // namespace

std::optional<platform::FileInformation> FileIdentity(Platform& platform,
                                                      const std::u16string& path) {
  const platform::UniqueFile file(
      platform, platform.CreateFileW(path, platform::kFileReadAttributes,
                                     platform::kFileShareRead | platform::kFileShareWrite |
                                         platform::kFileShareDelete,
                                     platform::kOpenExisting, 0));
  platform::FileInformation information;
  if (!file || !platform.GetFileInformationByHandle(file.GetUnsafe(), &information))
    return std::nullopt;
  return information;
}

MachineClasses::MachineClasses(Platform& platform, platform::Registry& registry,
                               std::u16string system_dir)
    : platform_(platform), registry_(registry), system_dir_(std::move(system_dir)),
      classes_(OpenMachineClasses(registry)) {}

std::optional<std::u16string> MachineClasses::ServerOf(const std::u16string& clsid) {
  if (!classes_) return std::nullopt;
  platform::UniqueRegistryKey server(registry_);
  const std::int32_t status = registry_.RegOpenKeyExW(
      classes_.GetUnsafe(), clsid + u"\\InprocServer32", kView32, server.put());
  if (IsAbsent(status)) return std::nullopt;
  if (status != platform::kErrorSuccess)
    RaiseUnreadable(u"the COM class " + clsid + u" cannot be read", status);
  std::uint32_t type = 0;
  std::vector<std::byte> data;
  if (registry_.RegQueryValueExW(server.GetUnsafe(), u"", &type, &data) != platform::kErrorSuccess)
    return std::nullopt;
  if (type != platform::kRegSz && type != platform::kRegExpandSz) return std::nullopt;
  std::u16string path = RegistryText(data);
  if (type == platform::kRegExpandSz) {
    std::u16string expanded;
    if (!platform_.ExpandEnvironmentStringsW(path, &expanded)) return std::nullopt;
    path = std::move(expanded);
  }
  path = Unquoted(path);
  if (path.empty()) return std::nullopt;
  // A bare name means the system directory's file, where a client's loader finds it; never one
  // in the check's working directory, which must not decide the verdict.
  if (path.find_first_of(u"\\/:") == std::u16string::npos) path = system_dir_ + path;
  return path;
}

std::vector<ClassCheck> MachineClasses::Check(const std::vector<std::u16string>& clsids,
                                              const std::u16string& installed_path,
                                              const platform::FileInformation* installed) {
  std::vector<ClassCheck> checks;
  for (const std::u16string& clsid : clsids) {
    const std::optional<std::u16string> server = ServerOf(clsid);
    checks.push_back({clsid, !server ? ClassState::kMissing
                             : !NamesInstalledFile(platform_, {*server}, installed_path, installed)
                                 ? ClassState::kOtherFile
                             : TreatedAsAnother(clsid) ? ClassState::kTreatedAs
                                                       : ClassState::kRegistered});
  }
  return checks;
}

bool MachineClasses::TreatedAsAnother(const std::u16string& clsid) {
  platform::UniqueRegistryKey treat_as(registry_);
  if (registry_.RegOpenKeyExW(classes_.GetUnsafe(), clsid + u"\\TreatAs", kView32,
                              treat_as.put()) != platform::kErrorSuccess) {
    return false;
  }
  std::uint32_t type = 0;
  std::vector<std::byte> data;
  if (registry_.RegQueryValueExW(treat_as.GetUnsafe(), u"", &type, &data) !=
          platform::kErrorSuccess ||
      type != platform::kRegSz) {
    return false;
  }
  const std::u16string other = RegistryText(data);
  return !other.empty() && !EqualIgnoringCase(other, clsid);
}

std::vector<std::u16string> MachineClasses::FindInprocServers(
    const std::vector<std::u16string>& file_names) {
  std::vector<std::u16string> servers;
  if (!classes_) return servers;
  for (std::uint32_t index = 0;; ++index) {
    std::u16string clsid;
    const std::int32_t enumerated = registry_.RegEnumKeyExW(classes_.GetUnsafe(), index, &clsid);
    if (enumerated == platform::kErrorNoMoreItems) break;
    if (enumerated != platform::kErrorSuccess)
      RaiseUnreadable(u"the COM class registrations cannot be listed", enumerated);
    std::optional<std::u16string> server;
    try {
      server = ServerOf(clsid);
    } catch (const Failure&) {
      continue;  // another program's class that this user may not read
    }
    if (!server) continue;
    const std::u16string name = FileNameOf(*server);
    for (const std::u16string& wanted : file_names) {
      if (EqualIgnoringCase(name, wanted)) {
        servers.push_back(std::move(*server));
        break;
      }
    }
  }
  return servers;
}

bool NamesInstalledFile(Platform& platform, const std::vector<std::u16string>& servers,
                        const std::u16string& installed_path,
                        const platform::FileInformation* installed) {
  for (const std::u16string& server : servers) {
    if (installed != nullptr) {
      if (const auto identity = FileIdentity(platform, server)) {
        if (identity->volume_serial == installed->volume_serial &&
            identity->index == installed->index) {
          return true;
        }
        continue;
      }
    }
    if (EqualIgnoringCase(server, installed_path)) return true;
  }
  return false;
}

}  // namespace vannix
