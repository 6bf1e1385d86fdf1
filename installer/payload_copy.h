// Writes one payload resource of the executable into its target file.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "installer/windows_protection.h"
#include "platform/advapi32.h"
#include "platform/platform.h"

namespace vannix {

// The largest chunk handed to one WriteFile call, and so the size of the copy buffer.
inline constexpr std::uint32_t kCopyChunk = 61440;

// The file the payload is written into before it replaces the target: beside the target, so
// the final rename stays within one volume, and always the same name, so no debris piles up.
std::u16string TemporaryPathFor(const std::u16string& target_path);
// Where the payload is written when a file is at the temporary name already: that file is
// replaced whole, never rewritten in place, since a restart may be about to rename it.
std::u16string StagingPathFor(const std::u16string& target_path);

// The waits before each further attempt at a replacement (or at removing the temporary file)
// that another program holds: scanners and indexers let go within milliseconds, a program that
// has the file loaded does not. About two seconds in all; none when nothing is held.
inline constexpr std::array<std::uint32_t, 6> kHeldRetryWaits{50, 100, 200, 400, 600, 650};

enum class Replacement {
  kDone,       // the target is the payload now
  kAtRestart,  // still held: the complete temporary file replaces it when Windows next starts
};

// Copies the payload resource `resource_name` into `target_path`. The target is replaced only
// by a complete copy: a missing payload, a failed create, write or rename leave it as it was.
// A target that another program holds is tried again for a while, then replaced at the next
// restart (the temporary file is then kept); never one that is read-only or Windows' own.
// Raises a Failure otherwise; the caller decides what a failure means.
Replacement CopyPayload(platform::Platform& platform, platform::Advapi32& advapi32,
                        WindowsProtection& protection, const std::u16string& resource_name,
                        const std::u16string& target_path);

}  // namespace vannix
