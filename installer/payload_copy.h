// Writes one payload resource of the executable into its target file.
#pragma once

#include <string>

#include "installer/target_replacement.h"
#include "installer/windows_protection.h"
#include "platform/platform.h"

namespace vannix {

// Copies the payload resource `resource_name` into `target_path`: a copy that an earlier run
// left waiting for the restart is removed first, the payload is written whole and flushed
// beside the target, then put in its place (PutInPlace). The target is replaced only by a
// complete copy: a missing payload, a failed create, write or rename leave it as it was.
// Raises a Failure otherwise; the caller decides what a failure means.
Replacement CopyPayload(platform::Platform& platform, WindowsProtection& protection,
                        const std::u16string& resource_name, const std::u16string& target_path);

}  // namespace vannix
