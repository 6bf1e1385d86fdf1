// Puts a complete copy in its target's place: now, at the next restart, or not at all.
#pragma once

#include <string>

#include "installer/windows_protection.h"
#include "platform/advapi32.h"
#include "platform/platform.h"

namespace vannix {

enum class Replacement {
  kDone,  // the target is the payload now
  // Likewise, where an earlier run had left a copy waiting for the restart: what that run
  // scheduled for this target is obsolete.
  kDoneOverAnEarlierRun,
  // Held by another program through the waits: the complete copy waits under the replacement
  // name, for the caller to schedule (ScheduleReplacement) or give up (AbandonReplacement).
  kHeld,
};

// Replaces `target_path` with the complete, flushed copy at `staging_path`. A target that
// another program holds (open, or loaded as an image) is tried again for about two seconds;
// one that already holds these very bytes is left as it is. A target that may not be replaced
// at all (read-only, Windows' own, or one whose security refuses its deletion, which the
// restart's rename needs as well) is never waited for. Raises a Failure when the target stays
// as it was and no copy waits; no copy of this run's stays behind then.
Replacement PutInPlace(platform::Platform& platform, WindowsProtection& protection,
                       const std::u16string& staging_path, const std::u16string& target_path);

// Has Windows rename the waiting copy onto the target when it next starts; not twice when this
// very rename is in its list already. False when it cannot be scheduled.
bool ScheduleReplacement(platform::Platform& platform, platform::Advapi32& advapi32,
                         const std::u16string& target_path);

// Removes the waiting copy, so that no rename left in Windows' list finds it.
void AbandonReplacement(platform::Platform& platform, const std::u16string& target_path);

}  // namespace vannix
