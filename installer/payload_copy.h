// Writes one payload resource of the executable into its target file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vannix {

// The largest chunk handed to one WriteFile call, and so the size of the copy buffer.
inline constexpr std::uint32_t kCopyChunk = 61440;

// The file the payload is written into before it replaces the target: beside the target, so
// the final rename stays within one volume, and always the same name, so no debris piles up.
std::u16string TemporaryPathFor(const std::u16string& target_path);

// Copies the payload resource `resource_name` into `target_path`. The target is replaced only
// by a complete copy: a missing payload, a failed create, write or rename leave it as it was.
// Raises a Failure on any of these; the caller decides what a failure means.
void CopyPayload(platform::Platform& platform, const std::u16string& resource_name,
                 const std::u16string& target_path);

}  // namespace vannix
