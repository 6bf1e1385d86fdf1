#include "check/installation_check.h"

#include <algorithm>
#include <optional>

#include "installer/catalogue.h"
#include "check/class_registrations.h"
#include "installer/entry_plan.h"
#include "installer/startup_registration.h"
#include "installer/file_exists.h"
#include "check/file_hasher.h"
#include "check/file_version.h"
#include "installer/pending_renames.h"
#include "installer/text.h"
#include "installer/windows_protection.h"
#include "installer/work_files.h"
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
  std::vector<std::u16string> clsids;  // a server's classes; empty when unknown
  std::optional<platform::FileInformation> identity;
  std::u16string short_name;
  EntryPlan plan;
};

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
    item->identity = FileIdentity(platform, check.path);
    return;
  }
  check.file = FileState::kUnknown;
  const platform::UniqueFile file(
      platform, platform.CreateFileW(check.path, platform::kGenericRead,
                                     platform::kFileShareRead | platform::kFileShareWrite |
                                         platform::kFileShareDelete,
                                     platform::kOpenExisting, platform::kFileFlagSequentialScan));
  if (!file) {
    check.problem = u"cannot be opened" + ErrorText(platform.GetLastError());
    item->identity = FileIdentity(platform, check.path);
    return;
  }
  platform::FileInformation information;
  if (!platform.GetFileInformationByHandle(file.GetUnsafe(), &information)) {
    check.problem = u"cannot be examined" + ErrorText(platform.GetLastError());
    return;
  }
  item->identity = information;
  check.found_size = information.size;
  if (information.size != expected.size) {
    check.file = FileState::kDiffers;
    return;
  }
  std::uint32_t error = 0;
  const std::optional<Sha256Digest> digest = tools.hasher.Hash(file, &error);
  if (!digest) {
    check.problem = u"cannot be read" + ErrorText(error);
    return;
  }
  check.found_sha256 = digest;
  check.file = *digest == expected.sha256 ? FileState::kOk : FileState::kDiffers;
}

// The target's waiting copy is this release's file and Windows' list of renames names it onto
// the target.
bool WaitingCopyPending(Platform& platform, Inspectors& tools, const PayloadDigest& expected,
                        const std::vector<PendingRename>& renames, const std::u16string& target) {
  const std::u16string waiting = WaitingCopyPath(target);
  if (!RenameDecides(renames, waiting, target)) return false;
  InspectedFile replacement;
  replacement.check.path = waiting;
  InspectFile(platform, tools, expected, &replacement);
  return replacement.check.file == FileState::kOk;
}

// Every class of this release names the installed file, or, for a server whose classes are
// unknown, one of the walk's `servers` does. A class cannot name a file that is not there,
// whatever its text says.
void JudgeRegistration(Platform& platform, MachineClasses& classes,
                       const std::vector<std::u16string>& servers, InspectedFile& item) {
  EntryCheck& check = item.check;
  if (!check.must_be_registered) return;
  const platform::FileInformation* identity = item.identity ? &*item.identity : nullptr;
  if (check.file == FileState::kMissing) {
    for (const std::u16string& clsid : item.clsids) check.classes.push_back({clsid});
  } else if (item.clsids.empty()) {
    check.registered = NamesInstalledFile(platform, servers, check.path, identity);
  } else {
    check.classes = classes.Check(item.clsids, check.path, identity);
    check.registered = std::all_of(
        check.classes.begin(), check.classes.end(),
        [](const ClassCheck& c) { return c.state == ClassState::kRegistered; });
  }
}

}  // namespace

Verdict InstallationCheck::Judge() const {
  bool unknown = false, pending = false;
  for (const EntryCheck& entry : entries) {
    if (entry.file == FileState::kMissing || entry.file == FileState::kDiffers) {
      return Verdict::kIncomplete;
    }
    if (entry.must_be_registered && !entry.registered) {
      if (!entry.registration_scheduled) return Verdict::kIncomplete;
      pending = true;
    }
    unknown = unknown || entry.file == FileState::kUnknown;
    pending = pending || entry.file == FileState::kPending;
  }
  return unknown ? Verdict::kUnknown : pending ? Verdict::kRestartPending : Verdict::kComplete;
}

CheckCounts InstallationCheck::Count() const {
  CheckCounts counts;
  for (const EntryCheck& entry : entries) {
    ++counts.files;
    counts.ok += entry.file == FileState::kOk;
    counts.missing += entry.file == FileState::kMissing;
    counts.differs += entry.file == FileState::kDiffers;
    counts.windows += entry.file == FileState::kWindows;
    counts.unknown += entry.file == FileState::kUnknown;
    counts.pending += entry.file == FileState::kPending;
    counts.servers += entry.must_be_registered;
    counts.registered += entry.must_be_registered && entry.registered;
    counts.after_restart +=
        entry.must_be_registered && !entry.registered && entry.registration_scheduled;
    counts.classes_unknown += entry.must_be_registered && entry.classes.empty();
    counts.classes += entry.classes.size();
    for (const ClassCheck& c : entry.classes)
      counts.classes_registered += c.state == ClassState::kRegistered;
  }
  return counts;
}

InstallationCheck CheckInstallation(Platform& platform, platform::Registry& registry,
                                    platform::Hashing& hashing,
                                    const std::vector<PayloadDigest>& table) {
  InstallationCheck result;
  FileHasher hasher(platform, hashing);  // first: without SHA-256 there is no verdict
  // The installer's own layout: the check looks exactly where it writes.
  const Layout layout = ProbeLayout(platform);
  result.variant = layout.wow64 ? u"64" : u"32";
  result.system_dir = layout.system_dir;
  WindowsProtection protection(platform);
  FileVersionReader versions(platform);
  Inspectors tools{hasher, protection, versions};
  StartUpRegistration start_up(platform, registry, layout.vista_or_later);

  std::vector<InspectedFile> files;
  std::vector<std::u16string> server_names;
  std::optional<std::vector<PendingRename>> renames;  // read when a file is not in place
  for (const ComponentEntry& entry : kCatalogue) {
    const std::u16string file_name = EntryFileName(entry);
    const PayloadDigest& expected = FindDigest(table, result.variant, file_name);
    InspectedFile item;
    const EntryPlan plan = PlanEntry(layout, entry);
    item.plan = plan;
    item.check.path = plan.target_path;
    item.check.must_be_registered = entry.Register;
    item.check.expected_size = expected.size;
    item.check.expected_sha256 = expected.sha256;
    InspectFile(platform, tools, expected, &item);
    // Neither a file in place nor one Windows owns: its waiting copy may be there.
    if (item.check.file != FileState::kOk && item.check.file != FileState::kWindows) {
      if (!renames) renames = ReadPendingRenames(registry);
      if (WaitingCopyPending(platform, tools, expected, *renames, item.check.path)) {
        item.check.file = FileState::kPending;
        item.check.problem.clear();  // what stands there now is to go
      }
    }
    item.clsids = expected.classes;
    // Only a server whose classes are unknown needs the walk of every class.
    if (entry.Register && item.clsids.empty()) {
      server_names.push_back(file_name);
      if (!item.short_name.empty()) server_names.push_back(item.short_name);
    }
    files.push_back(std::move(item));
  }

  MachineClasses classes(platform, registry, layout.system_dir);
  const std::vector<std::u16string> servers =
      server_names.empty() ? std::vector<std::u16string>{}
                           : classes.FindInprocServers(server_names);
  for (InspectedFile& item : files) {
    EntryCheck& check = item.check;
    // What stands at a pending file's place now is to go: its successor is registered once the
    // restart has put it there, if that registration is scheduled. Once it is in place, its
    // registration is judged as any file's, whatever is still scheduled, so that a
    // registration that never ran is never taken for one that a restart will complete.
    if (check.must_be_registered && check.file == FileState::kPending) {
      check.registration_scheduled = start_up.IsScheduled(item.plan);
      for (const std::u16string& clsid : item.clsids) check.classes.push_back({clsid});
    } else {
      JudgeRegistration(platform, classes, servers, item);
    }
    result.entries.push_back(std::move(check));
  }
  return result;
}

}  // namespace vannix
