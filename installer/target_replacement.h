// Puts a complete copy in its target's place: now, at the next restart, or not at all.
#pragma once

#include <string>

#include "installer/windows_protection.h"
#include "platform/advapi32.h"
#include "platform/platform.h"

namespace vannix {

enum class Replacement {
  kDone,  // the target is the payload now
  // Likewise, in place of a copy an earlier run left waiting for the restart: what that run
  // scheduled for this target is obsolete.
  kDoneOverAnEarlierRun,
  // Held by another program through the waits: the complete copy, kept under the replacement
  // name, replaces it when Windows next starts.
  kAtRestart,
};

// Replaces `target_path` with the complete, flushed copy at `staging_path`. A target that
// another program holds (open, or loaded as an image) is tried again for about two seconds,
// then left to the next restart. A target that may not be replaced at all (read-only, Windows'
// own, or one whose security refuses its deletion, which the restart's rename needs as well)
// is never waited for nor scheduled. Raises a Failure when the target stays as it was and
// nothing is scheduled; no copy of this run's stays behind then.
Replacement PutInPlace(platform::Platform& platform, platform::Advapi32& advapi32,
                       WindowsProtection& protection, const std::u16string& staging_path,
                       const std::u16string& target_path);

}  // namespace vannix
