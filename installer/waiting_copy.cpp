#include "installer/waiting_copy.h"

#include "installer/copy_failure.h"
#include "installer/pending_renames.h"
#include "installer/work_files.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

constexpr std::uint32_t kReplaceNow =
    platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough;
constexpr std::uint32_t kReplaceAtRestart =
    platform::kMoveFileDelayUntilReboot | platform::kMoveFileReplaceExisting;

}  // namespace

void WaitingCopy::RemoveEarlier() {
  const std::u16string waiting = WaitingCopyPath(plan_.target_path);
  if (!RemoveLeftover(platform_, waiting, &earlier_))
    RaiseCopyFailure(platform_, u"Cannot remove", waiting);
}

Placement WaitingCopy::WaitForRestart() {
  const std::u16string staging = StagingCopyPath(plan_.target_path);
  const std::u16string waiting = WaitingCopyPath(plan_.target_path);
  if (plan_.Register) {
    if (!start_up_.Schedule(plan_))
      Abandon(staging, u"Cannot schedule the registration of", platform_.GetLastError());
    scheduled_ = true;
  }
  if (!platform_.MoveFileExW(staging, waiting, kReplaceNow))
    Abandon(staging, u"Cannot move aside", platform_.GetLastError());
  if (platform_.MoveFileExW(waiting, plan_.target_path, kReplaceNow)) return Placement::kInPlace;
  if (!RenameListed() && !platform_.MoveFileExW(waiting, plan_.target_path, kReplaceAtRestart))
    Abandon(waiting, u"Cannot schedule the replacement of", platform_.GetLastError());
  FlushRenames();
  return Placement::kAtRestart;
}

void WaitingCopy::Settle() {
  if (!plan_.Register) return;
  // Without a trace of an earlier run nothing is scheduled, and where Windows has a Task
  // Scheduler a normal run asks no registry.
  if (!earlier_ && !scheduled_ && !start_up_.MayBeScheduled(plan_)) return;
  if (RenameListed()) return;
  start_up_.Cancel(plan_);
}

bool WaitingCopy::RenameListed() {
  return IsRenamePending(ReadPendingRenames(registry_), WaitingCopyPath(plan_.target_path),
                         plan_.target_path);
}

void WaitingCopy::FlushRenames() {
  platform::UniqueRegistryKey key(registry_);
  if (registry_.RegOpenKeyExW(platform::kHkeyLocalMachine, std::u16string(kSessionManagerKey),
                              platform::kKeyRead, key.put()) == platform::kErrorSuccess)
    registry_.RegFlushKey(key.GetUnsafe());
}

void WaitingCopy::Abandon(const std::u16string& copy, std::u16string_view what,
                          std::uint32_t error) {
  RemoveWhenFree(platform_, copy);
  if (scheduled_ && !RenameListed()) start_up_.Cancel(plan_);
  RaiseCopyFailure(what, plan_.target_path, error);
}

}  // namespace vannix
