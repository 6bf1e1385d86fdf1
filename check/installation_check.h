// Whether the installation took: every catalogue file in the system directory the installer
// writes to, as its payload, and every COM server registered for 32-bit processes.
#pragma once

#include <string>
#include <vector>

#include "check/payload_digests.h"
#include "platform/advapi32.h"
#include "platform/platform.h"

namespace vannix {

enum class FileState { kOk, kMissing, kDiffers };

struct EntryCheck {
  std::u16string path;
  FileState file = FileState::kMissing;
  bool must_be_registered = false;
  bool registered = false;
  std::u16string problem;  // why a present file could not be read, when it could not
};

struct InstallationCheck {
  std::u16string variant;  // "32" or "64": the payload the installer writes here
  std::vector<EntryCheck> entries;  // in catalogue order

  bool Complete() const;
};

// Looks where the installer writes (the same catalogue, variant and system directory rules)
// and compares with `table`. Changes nothing. Raises a Failure when the check cannot be made:
// the Windows directory cannot be read, no SHA-256 provider, the classes cannot be read, or
// the table lacks a file.
InstallationCheck CheckInstallation(platform::Platform& platform, platform::Advapi32& advapi32,
                                    const std::vector<PayloadDigest>& table);

}  // namespace vannix
