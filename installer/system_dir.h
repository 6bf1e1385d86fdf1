// Whether the installer runs under WOW64, and the system directory that serves 32-bit images.
#pragma once

#include <string>

#include "platform/platform.h"

namespace vannix {

// True when this 32-bit process runs on 64-bit Windows; false when the question cannot be asked.
bool IsWow64(platform::Platform& platform);

// The system's Windows directory (never a Remote Desktop user's private one) followed by
// "\System32" (or "\SysWOW64" under WOW64) and a backslash. Raises a Failure when the Windows
// directory cannot be read whole: nothing must be written into a made-up path.
std::u16string GetSystemDir(platform::Platform& platform);

// The same, for an answer of IsWow64 already given: the layout asks it once per run.
std::u16string SystemDirFor(platform::Platform& platform, bool wow64);

}  // namespace vannix
