// Whether the installation took: every catalogue file in the system directory the installer
// writes to, as its payload, and every COM server registered for 32-bit processes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check/payload_digests.h"
#include "platform/hashing.h"
#include "platform/platform.h"
#include "platform/registry.h"

namespace vannix {

// What is at a file's place. A new state is one member here and its name in check_names.h.
enum class FileState {
  kOk,       // the payload's size and SHA-256
  kMissing,  // absent, or a directory stands there
  kDiffers,  // another size or content
  kWindows,  // Windows' own (it protects the file): in place whatever it holds
  kUnknown,  // present, but it cannot be opened or read
  // Not in place yet, but its waiting copy is: the file beside it is this release's and
  // Windows renames it onto the target when it next starts.
  kPending,
};

// How this machine registers one of this release's classes for 32-bit programs.
enum class ClassState {
  kRegistered,  // its InprocServer32 names the installed file
  kMissing,     // no InprocServer32 with a path
  kOtherFile,   // its InprocServer32 names another file
  kTreatedAs,   // TreatAs sends its clients to another class, whatever InprocServer32 names
  kUnchecked,   // not looked up: the file is not there
};

struct ClassCheck {
  std::u16string clsid;  // "{...}"
  ClassState state = ClassState::kUnchecked;
};

struct EntryCheck {
  std::u16string path;
  FileState file = FileState::kMissing;
  // This release's file, and what the check found at the path where it read it: the size,
  // and the SHA-256 when that size is the payload's (a file of another size is not hashed).
  std::uint64_t expected_size = 0;
  Sha256Digest expected_sha256{};
  std::optional<std::uint64_t> found_size;
  std::optional<Sha256Digest> found_sha256;
  bool must_be_registered = false;
  // A server's: every one of `classes` registered machine-wide; for a server whose classes are
  // unknown, some class names the file.
  bool registered = false;
  // Of a server: this release's creatable classes (from its type library) with their state;
  // empty when they are unknown (no type library, or none creatable).
  std::vector<ClassCheck> classes;
  // Its file is pending: registered once the restart has put this release's file in place (by
  // a start-up task, or at an administrator's logon where Windows has no Task Scheduler).
  bool registration_scheduled = false;
  std::u16string problem;  // why a present file could not be read, when it could not
  // Of a file Windows owns: its file version ("a.b.c.d", empty when it shows none) and the one
  // this release carries (empty when the payload has none).
  std::u16string installed_version;
  std::u16string release_version;
};

enum class Verdict {
  kComplete,        // every file in place, every server registered
  kRestartPending,  // nothing missing that the next restart and logon do not complete
  kIncomplete,      // something definitely missing, different or not registered
  kUnknown,         // nothing definitely wrong, but a file could not be read
};

// How many entries are in which state, for the summary.
struct CheckCounts {
  std::size_t files = 0, ok = 0, missing = 0, differs = 0, windows = 0, unknown = 0, pending = 0;
  std::size_t servers = 0, registered = 0, after_restart = 0;
  std::size_t classes = 0, classes_registered = 0;  // of the servers whose classes are known
  std::size_t classes_unknown = 0;                  // servers whose classes are not
};

struct InstallationCheck {
  std::u16string variant;     // "32" or "64": the payload the installer writes here
  std::u16string system_dir;  // where it writes, with its closing backslash
  std::vector<EntryCheck> entries;  // in catalogue order

  // A definite shortfall outweighs a file that could not be read, and that outweighs what a
  // restart completes.
  Verdict Judge() const;
  CheckCounts Count() const;
};

// Looks where the installer writes (the same catalogue, variant and system directory rules)
// and compares with `table`. Changes nothing. Raises a Failure when the check cannot be made:
// the Windows directory cannot be read, no SHA-256, the classes cannot be read, or the table
// lacks a file. A file that Windows protects is not compared: the installer cannot replace it.
InstallationCheck CheckInstallation(platform::Platform& platform, platform::Registry& registry,
                                    platform::Hashing& hashing,
                                    const std::vector<PayloadDigest>& table);

}  // namespace vannix
