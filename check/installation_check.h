// Whether the installation took: every catalogue file in the system directory the installer
// writes to, as its payload, and every COM server registered for 32-bit processes.
#pragma once

#include <string>
#include <vector>

#include "check/payload_digests.h"
#include "platform/advapi32.h"
#include "platform/platform.h"

namespace vannix {

// What is at a file's place. A new state is one member here and its name in check_command.cpp.
enum class FileState {
  kOk,       // the payload's size and SHA-256
  kMissing,  // absent, or a directory stands there
  kDiffers,  // another size or content
  kWindows,  // Windows' own (it protects the file): in place whatever it holds
  kUnknown,  // present, but it cannot be opened or read
};

struct EntryCheck {
  std::u16string path;
  FileState file = FileState::kMissing;
  bool must_be_registered = false;
  bool registered = false;
  std::u16string problem;  // why a present file could not be read, when it could not
  // Of a file Windows owns: its file version ("a.b.c.d", empty when it shows none) and the one
  // this release carries (empty when the payload has none).
  std::u16string installed_version;
  std::u16string release_version;
};

enum class Verdict {
  kComplete,    // every file in place, every server registered
  kIncomplete,  // something definitely missing, different or not registered
  kUnknown,     // nothing definitely wrong, but a file could not be read
};

struct InstallationCheck {
  std::u16string variant;  // "32" or "64": the payload the installer writes here
  std::vector<EntryCheck> entries;  // in catalogue order

  // A definite shortfall outweighs a file that could not be read.
  Verdict Judge() const;
};

// Looks where the installer writes (the same catalogue, variant and system directory rules)
// and compares with `table`. Changes nothing. Raises a Failure when the check cannot be made:
// the Windows directory cannot be read, no SHA-256, the classes cannot be read, or the table
// lacks a file. A file that Windows protects is not compared: the installer cannot replace it.
InstallationCheck CheckInstallation(platform::Platform& platform, platform::Advapi32& advapi32,
                                    const std::vector<PayloadDigest>& table);

}  // namespace vannix
