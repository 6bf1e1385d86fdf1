// Registration at Windows' next start, of a server whose file the restart puts in place: the
// file at the target during the run may be an older version, or one that registers nothing,
// so the run's own registration proves nothing about the file that replaces it.
//
// Where Windows has Task Scheduler 2.0 (from Vista, Windows NT 6.0, on, as GetVersion tells) a
// start-up task does it: at the next start, as SYSTEM, before anyone logs on and after Session
// Manager has made the renames, it runs regsvr32 on the target once and removes itself. A task
// that cannot be made (schtasks.exe missing, failing, or not done within a minute) means the
// registration cannot be scheduled. Only where there is no such scheduler (XP, Server 2003) does
// a RunOnce value under HKLM stand in: it runs at the first logon of an administrator, which
// may come before the restart, and never a command longer than 260 characters.
#pragma once

#include <optional>
#include <string>

#include "installer/entry_plan.h"
#include "platform/platform.h"
#include "platform/registry.h"

namespace vannix {

inline constexpr std::u16string_view kRunOnceKey =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// How long schtasks.exe may take to make or remove a task, in milliseconds.
inline constexpr std::uint32_t kSchedulerTimeLimit = 60000;

// The task's and the RunOnce value's name, "setup_vannix <file name>": one per target, so that
// a later run replaces its own instead of adding another.
std::u16string StartUpTaskName(const EntryPlan& plan);

// The task's definition (Task Scheduler schema 1.2): started by Windows' start-up, as SYSTEM,
// whether on batteries or not; its actions run regsvr32 silently on the target in the system
// directory, then delete the task.
std::u16string StartUpTaskDefinition(const EntryPlan& plan);

// Where Windows keeps that task: the Tasks folder of the native system directory (reached
// through Sysnative from a 32-bit process on 64-bit Windows).
std::u16string StartUpTaskFile(const EntryPlan& plan);

class StartUpRegistration {
 public:
  StartUpRegistration(platform::Platform& platform, platform::Registry& registry)
      : platform_(platform), registry_(registry) {}

  // Schedules the entry's registration, replacing what an earlier run scheduled for it, and
  // puts it on the disk before returning. False when it cannot be scheduled.
  bool Schedule(const EntryPlan& plan);

  // Whether the entry's registration is scheduled: the task's file where there is a Task
  // Scheduler (a file that cannot be read is there too, so any user can tell; the registry is
  // not asked), else the RunOnce value.
  bool IsScheduled(const EntryPlan& plan);

  // Removes what is scheduled for the entry: its task, and a RunOnce value (which, where there
  // is a Task Scheduler, only an older release can have made).
  void Cancel(const EntryPlan& plan);

  bool HasTaskScheduler();

 private:
  bool HasTask(const EntryPlan& plan);
  bool ScheduleTask(const EntryPlan& plan);
  bool ScheduleAtLogon(const EntryPlan& plan);
  void RemoveLogonValue(const EntryPlan& plan);
  // The registry's hive that holds the task store and RunOnce, and the task's file, written
  // to the disk now.
  void FlushToDisk(const std::u16string& task_file);

  platform::Platform& platform_;
  platform::Registry& registry_;
  std::optional<bool> task_scheduler_;  // asked when first needed
};

}  // namespace vannix
