#include "check/class_registrations.h"

#include "installer/failure.h"
#include "installer/text.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

using platform::Advapi32;
using platform::Platform;

constexpr std::uint32_t kView32 = platform::kKeyRead | platform::kKeyWow64View32;

// A registry string as stored: UTF-16 up to its first NUL, which it may lack.
std::u16string StringOf(const std::vector<std::byte>& data) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    const auto c = static_cast<char16_t>(std::to_integer<unsigned>(data[i]) |
                                         std::to_integer<unsigned>(data[i + 1]) << 8);
    if (c == u'\0') break;
    text += c;
  }
  return text;
}

std::u16string Unquoted(std::u16string_view text) {
  if (text.size() >= 2 && text.front() == u'"' && text.back() == u'"')
    text = text.substr(1, text.size() - 2);
  return std::u16string(text);
}

// The server path of one class, or nothing when it has no string InprocServer32 default value.
std::u16string ServerOf(Platform& platform, Advapi32& advapi32, platform::RawHandle classes,
                        const std::u16string& clsid) {
  platform::RawHandle raw = 0;
  if (advapi32.RegOpenKeyExW(classes, clsid + u"\\InprocServer32", kView32, &raw) !=
      platform::kErrorSuccess) {
    return {};
  }
  const platform::UniqueRegistryKey server(advapi32, raw);
  std::uint32_t type = 0;
  std::vector<std::byte> data;
  if (advapi32.RegQueryValueExW(server.GetUnsafe(), u"", &type, &data) != platform::kErrorSuccess)
    return {};
  if (type != platform::kRegSz && type != platform::kRegExpandSz) return {};
  std::u16string path = StringOf(data);
  if (type == platform::kRegExpandSz) {
    std::u16string expanded;
    if (!platform.ExpandEnvironmentStringsW(path, &expanded)) return {};
    path = std::move(expanded);
  }
  return Unquoted(path);
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

std::u16string FileNameOf(const std::u16string& path) {
  const auto separator = path.find_last_of(u"\\/");
  return separator == std::u16string::npos ? path : path.substr(separator + 1);
}

std::vector<std::u16string> FindInprocServers(Platform& platform, Advapi32& advapi32,
                                              const std::vector<std::u16string>& file_names,
                                              const std::u16string& system_dir) {
  platform::RawHandle raw = 0;
  const std::int32_t status =
      advapi32.RegOpenKeyExW(platform::kHkeyClassesRoot, u"CLSID", kView32, &raw);
  if (status == static_cast<std::int32_t>(platform::kErrorFileNotFound)) return {};
  if (status != platform::kErrorSuccess) {
    throw Failure("CheckError", u"the COM class registrations cannot be read (error " +
                                    Decimal(static_cast<std::uint32_t>(status)) + u")");
  }
  const platform::UniqueRegistryKey classes(advapi32, raw);

  std::vector<std::u16string> servers;
  for (std::uint32_t index = 0;; ++index) {
    std::u16string clsid;
    const std::int32_t enumerated = advapi32.RegEnumKeyExW(classes.GetUnsafe(), index, &clsid);
    if (enumerated == platform::kErrorNoMoreItems) break;
    if (enumerated != platform::kErrorSuccess) {
      throw Failure("CheckError", u"the COM class registrations cannot be listed (error " +
                                      Decimal(static_cast<std::uint32_t>(enumerated)) + u")");
    }
    std::u16string server = ServerOf(platform, advapi32, classes.GetUnsafe(), clsid);
    const std::u16string name = FileNameOf(server);
    for (const std::u16string& wanted : file_names) {
      if (!name.empty() && EqualIgnoringCase(name, wanted)) {
        // A bare name means the system directory's file, where a client's loader finds it;
        // never one in the check's working directory, which must not decide the verdict.
        if (server.find_first_of(u"\\/:") == std::u16string::npos) server = system_dir + server;
        servers.push_back(std::move(server));
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
