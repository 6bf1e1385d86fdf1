// Puts the complete staging copy in its target's place now, waiting a while for a program that
// holds the target.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "installer/windows_protection.h"
#include "platform/platform.h"

namespace vannix {

enum class Placement {
  kInPlace,    // the target is this release's file now
  kHeld,       // another program still holds the target; the copy is still at the staging name
  kAtRestart,  // the copy waits for the restart, its registration then scheduled
};

// The waits before each further attempt at replacing a target that another program holds:
// scanners and indexers let go within milliseconds, a program that has the file loaded does
// not. About two seconds in all.
inline constexpr std::array<std::uint32_t, 6> kHeldTargetWaits{50, 100, 200, 400, 600, 650};

// Replaces `target_path` with the complete, flushed copy at `staging_path`. A target that
// another program holds (open, or loaded as an image) is tried again through kHeldTargetWaits;
// one that already holds these very bytes is left as it is (kInPlace). A target that may not be
// replaced at all (read-only, Windows' own, or one whose security refuses its deletion, which
// the restart's rename needs as well) is never waited for. Raises a Failure when the target
// stays as it was and the copy is of no further use; the copy is removed then.
Placement PutInPlace(platform::Platform& platform, WindowsProtection& protection,
                     const std::u16string& staging_path, const std::u16string& target_path);

}  // namespace vannix
