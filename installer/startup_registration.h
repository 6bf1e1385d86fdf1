// Registration at Windows' next start, of a server whose file the restart puts in place: the
// file at the target during the run may be an older version, or one that registers nothing,
// so the run's own registration proves nothing about the file that replaces it.
//
// Where Windows has Task Scheduler 2.0 (Vista on: Layout::vista_or_later) a start-up task does
// it: at the next start, as SYSTEM, before anyone logs on and after Session Manager has made the
// renames, it runs regsvr32 on the target once and removes itself. A task is its key in the
// task cache (HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Schedule\TaskCache) and its
// definition's file in the native Tasks folder; a file without its key (a power loss while the
// service wrote them, or a file a user put there: any user may) is no task and makes schtasks
// refuse to create one of that name, so it is removed before a second attempt. A task that cannot be made (schtasks.exe missing, failing,
// or not done within a minute) means the registration cannot be scheduled. Only where there is
// no such scheduler (XP, Server 2003) does a RunOnce value under HKLM stand in: it runs at the
// first logon of an administrator, which may come before the restart, and never a command of
// 260 characters or more.
#pragma once

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
  StartUpRegistration(platform::Platform& platform, platform::Registry& registry,
                      bool task_scheduler)
      : platform_(platform), registry_(registry), task_scheduler_(task_scheduler) {}

  // Schedules the entry's registration, replacing what an earlier run scheduled for it, and
  // puts it on the disk before returning. False when it cannot be scheduled.
  bool Schedule(const EntryPlan& plan);

  // Whether the entry's registration is scheduled: its task's key in the task cache and its
  // file where there is a Task Scheduler (where the key cannot be read, as by a standard user,
  // the file alone tells), else the RunOnce value.
  bool IsScheduled(const EntryPlan& plan);

  // Whether something of an earlier run may be scheduled, as cheaply as it can be told: the
  // task's file where there is a Task Scheduler (no registry is read), else the RunOnce value.
  bool MayBeScheduled(const EntryPlan& plan);

  // Removes what is scheduled for the entry: its task, and a RunOnce value (which, where there
  // is a Task Scheduler, only an older release can have made).
  void Cancel(const EntryPlan& plan);

  bool HasTaskScheduler() const { return task_scheduler_; }

 private:
  bool HasTaskFile(const EntryPlan& plan);
  // RegOpenKeyExW's answer for the task's key in the task cache.
  std::int32_t TaskKey(const EntryPlan& plan);
  // A task's file that the Task Scheduler does not know (its cache key lost with the power, or
  // a file a user put there) blocks a task of its name and is no task: removed where the task
  // cache has no key of that name. True when it was.
  bool RemoveOrphan(const EntryPlan& plan);
  std::int32_t CreateTask(const EntryPlan& plan);
  bool ScheduleTask(const EntryPlan& plan);
  bool HasLogonValue(const EntryPlan& plan);
  bool ScheduleAtLogon(const EntryPlan& plan);
  void RemoveLogonValue(const EntryPlan& plan);
  // The registry's hive that holds the task store and RunOnce, and the task's file, written
  // to the disk now; false when the hive could not be.
  bool FlushToDisk(const std::u16string& task_file);

  platform::Platform& platform_;
  platform::Registry& registry_;
  const bool task_scheduler_;
};

}  // namespace vannix
