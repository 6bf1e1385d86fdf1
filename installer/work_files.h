// The installer's own files beside a target: their names, a leftover of an interrupted run at
// one of them, and their removal once no other program holds them. All lie beside the target,
// so that every rename between them stays on one volume. The suffixes are what earlier
// releases wrote too, and what the check looks for.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vannix {

// The staging copy: where every copy of a payload is written and flushed before anything is
// renamed. No rename at a restart ever names it, so a copy cut short by a power loss or a
// killed run is never more than debris for the next run to clear.
std::u16string StagingCopyPath(const std::u16string& target_path);

// The waiting copy: a complete copy that waits for the restart to be renamed onto the target
// (installer/waiting_copy.h keeps its rules).
std::u16string WaitingCopyPath(const std::u16string& target_path);

// The start-up task's definition, handed to schtasks and removed again.
std::u16string TaskDefinitionPath(const std::u16string& target_path);

// What stands at one of these names moves aside to this name before it is removed.
std::u16string AsidePath(const std::u16string& path);

// What Windows reports for a file that another program has open or loaded, or that may not be
// replaced at all: what follows such an error tells the two apart.
bool HeldError(std::uint32_t error);

// Removes a leftover of an earlier or interrupted run at one of the installer's own names, so
// that a new file can be created there (CREATE_NEW: never written through a link or a hard
// link, never a file another program is writing). It is moved aside first, since a file that
// another program has open, sharing deletion, keeps its name taken until that program closes
// it, even once deleted. A link or junction is removed itself, never its target; a read-only,
// hidden or system file loses those attributes first; a program that holds it is waited for
// (RemoveWhenFree). `found` tells whether anything was there. True when the name is free now.
bool RemoveLeftover(platform::Platform& platform, const std::u16string& path,
                    bool* found = nullptr);

// Removes what a stopped run may have left beside `target_path` that the copy itself does not
// clear: the task definition and anything moved aside. Failures are absorbed.
void RemoveStrayWorkFiles(platform::Platform& platform, const std::u16string& target_path);

// The waits before each further attempt at removing a file of the installer's own that another
// program (a scanner, an indexer) still reads: they let go within milliseconds. About two
// seconds in all.
inline constexpr std::array<std::uint32_t, 6> kRemovalWaits{50, 100, 200, 400, 600, 650};

// Removes a file of the installer's own, waiting while a scanner still reads it, so that no
// multi-megabyte copy stays in the system directory. Failures are absorbed.
void RemoveWhenFree(platform::Platform& platform, const std::u16string& path);

}  // namespace vannix
