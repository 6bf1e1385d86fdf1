#include "check/installation_check.h"

#include <optional>

#include "installer/catalogue.h"
#include "check/class_registrations.h"
#include "installer/deploy.h"
#include "installer/existence_test.h"
#include "check/file_hasher.h"
#include "check/file_version.h"
#include "installer/system_dir.h"
#include "installer/text.h"
#include "installer/windows_protection.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

using platform::Platform;

struct Inspectors {
  FileHasher& hasher;
  WindowsProtection& protection;
  FileVersionReader& versions;
};

struct InspectedFile {
  EntryCheck check;
  std::optional<platform::FileInformation> identity;
  std::u16string short_name;
};

std::u16string ErrorText(std::u16string_view what, std::uint32_t error) {
  return std::u16string(what) + u" (error " + Decimal(error) + u")";
}

// The identity of a file that cannot be opened for reading: an open for its attributes alone
// is not refused for sharing.
std::optional<platform::FileInformation> IdentityOf(Platform& platform,
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

// Present, of the payload's size and SHA-256, or Windows' own. The file is opened once: its
// identity, size and bytes all come from that one handle, shared in every way so that the
// check never stands in the way of a program working on the file.
void InspectFile(Platform& platform, Inspectors& tools, const PayloadDigest& expected,
                 InspectedFile* item) {
  EntryCheck& check = item->check;
  if (!FileExists(platform, check.path)) {
    check.file = FileState::kMissing;
    return;
  }
  std::u16string short_path;
  if (platform.GetShortPathNameW(check.path, &short_path))
    item->short_name = FileNameOf(short_path);

  if (tools.protection.IsProtected(check.path)) {
    check.file = FileState::kWindows;
    check.installed_version = tools.versions.Read(check.path);
    check.release_version = expected.file_version;
    item->identity = IdentityOf(platform, check.path);
    return;
  }
  check.file = FileState::kUnknown;
  const platform::UniqueFile file(
      platform, platform.CreateFileW(check.path, platform::kGenericRead,
                                     platform::kFileShareRead | platform::kFileShareWrite |
                                         platform::kFileShareDelete,
                                     platform::kOpenExisting, platform::kFileFlagSequentialScan));
  if (!file) {
    check.problem = ErrorText(u"cannot be opened", platform.GetLastError());
    item->identity = IdentityOf(platform, check.path);
    return;
  }
  platform::FileInformation information;
  if (!platform.GetFileInformationByHandle(file.GetUnsafe(), &information)) {
    check.problem = ErrorText(u"cannot be examined", platform.GetLastError());
    return;
  }
  item->identity = information;
  if (information.size != expected.size) {
    check.file = FileState::kDiffers;
    return;
  }
  std::uint32_t error = 0;
  const std::optional<Sha256Digest> digest = tools.hasher.Hash(file, &error);
  if (!digest) {
    check.problem = ErrorText(u"cannot be read", error);
    return;
  }
  check.file = *digest == expected.sha256 ? FileState::kOk : FileState::kDiffers;
}

}  // namespace

Verdict InstallationCheck::Judge() const {
  Verdict verdict = Verdict::kComplete;
  for (const EntryCheck& entry : entries) {
    if (entry.file == FileState::kMissing || entry.file == FileState::kDiffers ||
        (entry.must_be_registered && !entry.registered)) {
      return Verdict::kIncomplete;
    }
    if (entry.file == FileState::kUnknown) verdict = Verdict::kUnknown;
  }
  return verdict;
}

InstallationCheck CheckInstallation(Platform& platform, platform::Advapi32& advapi32,
                                    const std::vector<PayloadDigest>& table) {
  InstallationCheck result;
  result.variant = IsWow64(platform) ? u"64" : u"32";
  FileHasher hasher(platform, advapi32);  // first: without SHA-256 there is no verdict
  const std::u16string system_dir = GetSystemDir(platform);
  WindowsProtection protection(platform, system_dir);
  FileVersionReader versions(platform, system_dir);
  Inspectors tools{hasher, protection, versions};

  std::vector<InspectedFile> files;
  std::vector<std::u16string> server_names;
  for (const ComponentEntry& entry : kCatalogue) {
    const std::u16string file_name = EntryFileName(entry);
    const PayloadDigest& expected = FindDigest(table, result.variant, file_name);
    InspectedFile item;
    // The installer's own derivation: the check looks exactly where it writes.
    item.check.path = PlanComponent(platform, entry.Extension, entry.BaseName).target_path;
    item.check.must_be_registered = entry.Register;
    InspectFile(platform, tools, expected, &item);
    if (entry.Register) {
      server_names.push_back(file_name);
      if (!item.short_name.empty()) server_names.push_back(item.short_name);
    }
    files.push_back(std::move(item));
  }

  const std::vector<std::u16string> servers =
      FindInprocServers(platform, advapi32, server_names, system_dir);
  for (InspectedFile& item : files) {
    EntryCheck& check = item.check;
    // A class cannot name a file that is not there, whatever its text says.
    if (check.must_be_registered && check.file != FileState::kMissing) {
      check.registered = NamesInstalledFile(platform, servers, check.path,
                                            item.identity ? &*item.identity : nullptr);
    }
    result.entries.push_back(std::move(check));
  }
  return result;
}

}  // namespace vannix
