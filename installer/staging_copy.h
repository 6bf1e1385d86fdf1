// A complete, flushed copy of one payload resource at the staging name beside its target.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vannix {

// The largest chunk handed to one WriteFile call, and so the size of the copy buffer.
inline constexpr std::uint32_t kCopyChunk = 61440;

// Writes the resource `resource_info` of `module` into a new file at `path`, through one buffer
// of at most one chunk, and flushes it to the disk, so that a rename that follows never
// publishes a file whose data is not there yet. A leftover at `path` is removed first. Raises
// a Failure when the copy cannot be completed; nothing that this run wrote stays at `path`
// then, and a file another program is writing there is left to it.
void WriteStagingCopy(platform::Platform& platform, platform::RawHandle module,
                      platform::RawHandle resource_info, const std::u16string& path);

}  // namespace vannix
