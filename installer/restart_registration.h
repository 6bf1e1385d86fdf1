// Registration after the restart that completes a replacement: the file at the target during
// the run may be an older version, or one that registers nothing, so its registration proves
// nothing about the file that replaces it. A RunOnce value under HKLM runs regsvr32 on the
// target once more at the next logon of a user allowed to delete it (an administrator).
#pragma once

#include <string>
#include <string_view>

#include "platform/advapi32.h"

namespace vannix {

inline constexpr std::u16string_view kRunOnceKey =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// The value's name: one per target, so that a second run overwrites its own value.
std::u16string RestartRegistrationName(const std::u16string& target_path);

// "<tool>" /s "<target>", the tool taken from the entry's registration command as the child's
// is: its full path, quoted, since no application name goes with this command line. Empty for a
// command not built from the template.
std::u16string RestartRegistrationCommand(const std::u16string& command,
                                          const std::u16string& target_path);

// Writes the value in the 64-bit view, where Windows reads RunOnce on 64-bit Windows (a 32-bit
// writer would otherwise land in Wow6432Node); the flag means nothing on 32-bit Windows.
// False when it cannot be written.
bool ScheduleRegistration(platform::Advapi32& advapi32, const std::u16string& command,
                          const std::u16string& target_path);

// Whether that very value is there, with that very command.
bool IsRegistrationScheduled(platform::Advapi32& advapi32, const std::u16string& command,
                             const std::u16string& target_path);

}  // namespace vannix
