// The installation check as a command: its arguments, its output and its exit code.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "check/installation_check.h"
#include "platform/hashing.h"
#include "platform/registry.h"
#include "platform/platform.h"

namespace vannix {

inline constexpr int kCheckComplete = 0;
inline constexpr int kCheckIncomplete = 1;
inline constexpr int kCheckCannotRun = 2;
// What Windows Installer returns when a restart completes the installation; Intune and
// Configuration Manager take it as success with a restart to follow.
inline constexpr int kCheckRestartPending = 3010;

using TextSink = std::function<void(std::u16string_view)>;

// One line per catalogue entry: the file's state (7 columns: "ok", "missing", "differs",
// "windows", "unknown", "pending"), its registration (14 columns: "registered", "not
// registered", "after restart", or "-" for a file that is not a COM server) and its path; a file
// Windows owns is followed by its version and the one this release carries, a server that is
// not registered by how many of its classes are and the CLSIDs missing or naming another file,
// and one whose classes are unknown by a note saying so.
std::u16string FormatEntry(const EntryCheck& entry);
// "complete: ...", "restart pending: ...", "incomplete: ..." or "undetermined: ...", with the
// counts.
std::u16string FormatSummary(const InstallationCheck& check);

// Runs the check with the command-line `arguments` (the program's name excluded): "--help"
// prints the usage; any other argument is an error. Writes the report to `out` and the reasons
// for problems and errors to `err`; returns the exit code.
int RunCheckCommand(const std::vector<std::u16string>& arguments, platform::Platform& platform,
                    platform::Registry& registry, platform::Hashing& hashing,
                    const TextSink& out, const TextSink& err);

}  // namespace vannix
