// Registration after the restart that completes a replacement: the file at the target during
// the run may be an older version, or one that registers nothing, so its registration proves
// nothing about the file that replaces it.
//
// Windows' Task Scheduler runs regsvr32 on the target once, when Windows next starts: a
// start-up task runs as SYSTEM, before anyone logs on and after Session Manager has made the
// renames, and removes itself when done. Where no Task Scheduler takes the definition
// (schtasks.exe missing, or one that reads no XML: before Vista), a RunOnce value under HKLM
// runs it at the first logon of an administrator instead.
#pragma once

#include <string>
#include <string_view>

#include "platform/advapi32.h"
#include "platform/platform.h"

namespace vannix {

inline constexpr std::u16string_view kRunOnceKey =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// The task's and the RunOnce value's name: one per target, so that a later run replaces its
// own instead of adding another.
std::u16string RestartRegistrationName(const std::u16string& target_path);

// "<tool>" /s "<target>", the tool taken from the entry's registration command as the child's
// is: its full path, quoted, since no application name goes with this command line. Empty for a
// command not built from the template.
std::u16string RestartRegistrationCommand(const std::u16string& command,
                                          const std::u16string& target_path);

// The task's definition (Task Scheduler schema 1.2, Windows Vista on): started by Windows'
// start-up, as SYSTEM, whether on batteries or not; its actions run regsvr32 silently on the
// target in the system directory, then delete the task. Empty for a command not built from the
// template.
std::u16string RestartRegistrationTask(const std::u16string& command,
                                       const std::u16string& target_path);

// Schedules the registration of `target_path` for the next start of Windows, replacing what an
// earlier run scheduled for it. False when it can be scheduled neither way.
bool ScheduleRegistration(platform::Platform& platform, platform::Advapi32& advapi32,
                          const std::u16string& command, const std::u16string& target_path);

// Where Windows keeps that task's definition: the Tasks folder of the native system directory
// (reached through Sysnative from a 32-bit process on 64-bit Windows). Empty for a command not
// built from the template.
std::u16string RestartRegistrationTaskFile(const std::u16string& command,
                                           const std::u16string& target_path);

// Whether an earlier run left that task: one that never got to remove itself (its registration
// hung, say) would otherwise run at every start. Only looks for its file, which administrators
// may read.
bool IsTaskScheduled(platform::Platform& platform, const std::u16string& command,
                     const std::u16string& target_path);

// Removes what an earlier run scheduled for `target_path` (task or value), once this run has
// put the target in place and registered it. What is not there is not missed.
void CancelRegistration(platform::Platform& platform, platform::Advapi32& advapi32,
                        const std::u16string& command, const std::u16string& target_path);

}  // namespace vannix
