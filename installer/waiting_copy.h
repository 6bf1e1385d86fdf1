// The waiting copy: a complete copy of this release's file at "<target>.vannix-new", beside a
// target that another program holds, which Windows renames onto the target when it next starts
// (MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT: Session Manager's PendingFileRenameOperations).
// Windows' list may name it long after the run that scheduled it, and no call takes a rename off
// the list. This file alone removes, publishes and schedules it, and keeps these rules:
//
// 1. The waiting name holds a complete, flushed copy of a payload or nothing. A copy only ever
//    appears there moved whole; what an earlier run left there (an older release's partial
//    file, or a copy whose run then failed) goes before this run writes anything.
// 2. While Windows' list names the waiting copy of a server, that server's start-up
//    registration exists: it is scheduled before the copy is published under the waiting name,
//    and it is never removed while a rename of the waiting name onto the target is listed,
//    whether its source is there or not.
// 3. The registration is on the disk before the copy is published, and the rename once it is
//    scheduled (MOVEFILE_WRITE_THROUGH does nothing for a rename at the restart: the Session
//    Manager key is flushed instead).
// 4. What a run scheduled is removed once this run has put the target in place and registered
//    it, except a listed rename whose source is gone, which Windows skips: its registration
//    stays with it (rule 2), registers the file in place at the start-up and removes itself.
// 5. Nothing is scheduled twice: not the rename, not the task.
#pragma once

#include <string>

#include "installer/entry_plan.h"
#include "installer/startup_registration.h"
#include "installer/target_replacement.h"
#include "platform/platform.h"
#include "platform/registry.h"

namespace vannix {

class WaitingCopy {
 public:
  WaitingCopy(platform::Platform& platform, platform::Registry& registry,
              StartUpRegistration& start_up, const EntryPlan& plan)
      : platform_(platform), registry_(registry), start_up_(start_up), plan_(plan) {}

  // Rule 1: an earlier run's copy goes. Raises a Failure when it cannot be removed; nothing may
  // be copied then.
  void RemoveEarlier();

  // The target is still held after the waits: the complete copy at the staging name waits for
  // the restart. Its registration is scheduled first, then the copy is published under the
  // waiting name, tried once more from there (what was held may have been the copy after all)
  // and its rename scheduled. kInPlace when the target was free on that last try, kAtRestart
  // when scheduled. Raises a Failure when it cannot be scheduled: the copy is removed and the
  // target stays as it is.
  Placement WaitForRestart();

  // This run has put the target in place and registers it now: rule 4.
  void Settle();

 private:
  // Whether Windows' list names the rename of the waiting copy onto the target.
  bool RenameListed();
  // Rule 3 for the rename.
  void FlushRenames();
  // Raises after removing `copy` and the registration this run scheduled, unless a listed
  // rename still needs it (rule 2).
  [[noreturn]] void Abandon(const std::u16string& copy, std::u16string_view what,
                            std::uint32_t error);

  platform::Platform& platform_;
  platform::Registry& registry_;
  StartUpRegistration& start_up_;
  const EntryPlan& plan_;
  bool earlier_ = false;    // an earlier run's copy was there
  bool scheduled_ = false;  // this run scheduled the registration
};

}  // namespace vannix
