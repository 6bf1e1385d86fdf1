// Whether the installation took: every catalogue file in the system directory the installer
// writes to, as its payload, and every COM server registered for 32-bit processes.
#pragma once

#include <string>
#include <vector>

#include "check/payload_digests.h"
#include "platform/advapi32.h"
#include "platform/platform.h"

namespace vannix {

// kPending: not in place yet, but its replacement is: the temporary file beside it is this
// release's file and Windows will rename it onto the target when it next starts.
enum class FileState { kOk, kMissing, kDiffers, kPending };

struct EntryCheck {
  std::u16string path;
  FileState file = FileState::kMissing;
  bool must_be_registered = false;
  bool registered = false;
  // Not registered, but regsvr32 runs on it at the logon after the restart that replaces it
  // (its file pending, or already replaced by that restart).
  bool registration_scheduled = false;
  std::u16string problem;  // why a present file could not be read, when it could not
};

struct InstallationCheck {
  std::u16string variant;  // "32" or "64": the payload the installer writes here
  std::vector<EntryCheck> entries;  // in catalogue order

  bool Complete() const;
  // Not complete, but nothing is missing that a restart (and the logon after it, for the
  // registrations) does not complete.
  bool CompleteAfterRestart() const;
};

// Looks where the installer writes (the same catalogue, variant and system directory rules)
// and compares with `table`. Changes nothing. Raises a Failure when the check cannot be made:
// the Windows directory cannot be read, no SHA-256 provider, the classes cannot be read, or
// the table lacks a file.
InstallationCheck CheckInstallation(platform::Platform& platform, platform::Advapi32& advapi32,
                                    const std::vector<PayloadDigest>& table);

}  // namespace vannix
