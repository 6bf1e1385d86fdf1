// The installer's own files beside a target: their names, a leftover of an interrupted run at
// one of them, and their removal once no other program holds them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vannix {

// Where every copy of a payload is written and flushed before anything is renamed: a name that
// no rename at a restart ever names, so that a copy cut short by a power loss or a killed run
// is never more than debris for the next run to clear. Beside the target, so that the renames
// that follow stay on one volume.
std::u16string StagingPathFor(const std::u16string& target_path);

// A complete, flushed copy that waits for the restart, which Windows renames onto the target
// when it next starts. Only a complete copy ever appears under this name (moved there whole),
// since Windows' list may name it long after the run that scheduled it.
std::u16string ReplacementPathFor(const std::u16string& target_path);

// The waits before each further attempt at a replacement (or at removing a file of the
// installer's own) that another program holds: scanners and indexers let go within
// milliseconds, a program that has the file loaded does not. About two seconds in all.
inline constexpr std::array<std::uint32_t, 6> kHeldRetryWaits{50, 100, 200, 400, 600, 650};

// What Windows reports for a file that another program has open or loaded, or that may not be
// replaced at all: what follows such an error tells the two apart.
bool HeldError(std::uint32_t error);

// Removes a leftover of an earlier or interrupted run at one of the installer's own names, so
// that a new file can be created there (CREATE_NEW: never written through a link or a hard
// link, never a file another program is writing). It is moved aside to "<path>.vannix-old"
// first, since a file that another program has open, sharing deletion, keeps its name taken
// until that program closes it, even once deleted. A link or junction is removed itself, never
// its target; a read-only, hidden or system file loses those attributes first; a program that
// holds it is waited for as a held target is. `found` tells whether anything was there. True
// when the name is free now.
bool RemoveLeftover(platform::Platform& platform, const std::u16string& path,
                    bool* found = nullptr);

// Removes a file of this run's own, waiting as for a held target while a scanner still reads
// it, so that no multi-megabyte copy stays in the system directory. Failures are absorbed.
void RemoveWhenFree(platform::Platform& platform, const std::u16string& path);

}  // namespace vannix
