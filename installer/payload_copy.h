// Writes one payload resource of the executable into its target file.
#pragma once

#include "installer/entry_plan.h"
#include "installer/target_replacement.h"
#include "installer/windows_protection.h"
#include "platform/platform.h"

namespace vannix {

// Copies the entry's payload resource into its target: what a stopped run left beside the
// target is cleared, the payload is written whole and flushed at the staging name, then put in
// its place (PutInPlace). The target is replaced only by a complete copy: a missing payload,
// a failed create, write or rename leave it as it was. Raises a Failure otherwise; the caller
// decides what a failure means.
Placement CopyPayload(platform::Platform& platform, WindowsProtection& protection,
                      const EntryPlan& plan);

}  // namespace vannix
