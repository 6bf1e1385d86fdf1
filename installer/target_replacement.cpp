#include "installer/target_replacement.h"

#include "installer/copy_failure.h"
#include "installer/pending_renames.h"
#include "installer/work_files.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

using platform::Platform;

constexpr std::uint32_t kReplace =
    platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough;
constexpr std::uint32_t kShareAll =
    platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete;

// Why a replacement failed, as far as another attempt is concerned.
enum class Obstacle {
  kRefused,     // never: no wait, no restart can do it
  kHeldTarget,  // another program holds the target: worth waiting for, then the restart
  kHeldCopy,    // no target, so what is held is this run's copy (a scanner): worth waiting for
};

// Opens `path` for `access` whatever other programs share, and closes it: 0 when it can be
// opened, else the reason.
std::uint32_t OpenError(Platform& platform, const std::u16string& path, std::uint32_t access) {
  const platform::UniqueFile file(
      platform, platform.CreateFileW(path, access, kShareAll, platform::kOpenExisting, 0));
  return file ? 0 : platform.GetLastError();
}

// Asked only after a failure, so that a run in which nothing is held never loads sfc.dll.
Obstacle WhatStandsInTheWay(Platform& platform, WindowsProtection& protection,
                            const std::u16string& target_path, std::uint32_t error) {
  if (!HeldError(error)) return Obstacle::kRefused;
  const std::uint32_t attributes = platform.GetFileAttributesW(target_path);
  if (attributes == platform::kInvalidFileAttributes) return Obstacle::kHeldCopy;
  if ((attributes & (platform::kFileAttributeReadOnly | platform::kFileAttributeDirectory)) != 0 ||
      protection.IsProtected(target_path)) {
    return Obstacle::kRefused;
  }
  // Windows reports a loaded DLL and an ACL that denies the replacement alike (error 5), and
  // the rename at the restart needs delete access too. An open handle that refuses deletion is
  // a sharing violation; a mapped image, or nothing at all, lets the open through.
  const std::uint32_t delete_error = OpenError(platform, target_path, platform::kDelete);
  if (delete_error == platform::kErrorSharingViolation) return Obstacle::kHeldTarget;
  if (delete_error != 0) return Obstacle::kRefused;
  // A mapped image refuses writers with a sharing violation; a target whose writing is denied
  // is not one to replace either. Opened without writing a byte.
  const std::uint32_t write_error = OpenError(platform, target_path, platform::kFileWriteData);
  if (write_error != 0 && write_error != platform::kErrorSharingViolation) return Obstacle::kRefused;
  // Held, or nothing visibly holds it and the obstacle was this run's copy (a scanner reading
  // it) or a program that shares everything: either lets go, or the restart does it.
  return Obstacle::kHeldTarget;
}

// Moves `from` onto `to` now, waiting a while for a program that holds either. False when still
// held after the waits and a restart can do it; raises otherwise.
bool ReplaceNow(Platform& platform, WindowsProtection& protection, const std::u16string& from,
                const std::u16string& to) {
  if (platform.MoveFileExW(from, to, kReplace)) return true;
  const std::uint32_t error = platform.GetLastError();
  const Obstacle obstacle = WhatStandsInTheWay(platform, protection, to, error);
  if (obstacle == Obstacle::kRefused) RaiseCopyFailure(u"Cannot replace", to, error);
  for (const std::uint32_t wait : kHeldRetryWaits) {
    platform.Sleep(wait);
    if (platform.MoveFileExW(from, to, kReplace)) return true;
    // Anything but a hold ends the waits: it will not pass.
    if (!HeldError(platform.GetLastError())) RaiseCopyFailure(platform, u"Cannot replace", to);
  }
  if (obstacle == Obstacle::kHeldCopy) RaiseCopyFailure(platform, u"Cannot replace", to);
  return false;
}

// The complete copy at `replacement` is to replace the target when Windows next starts. A
// rename of this very file onto this very target that is pending already is not added twice,
// so that runs before a restart do not grow Windows' list.
void ScheduleReplacement(Platform& platform, platform::Advapi32& advapi32,
                         const std::u16string& replacement, const std::u16string& target_path) {
  if (IsRenamePending(ReadPendingRenames(advapi32), replacement, target_path)) return;
  if (!platform.MoveFileExW(replacement, target_path,
                            platform::kMoveFileDelayUntilReboot |
                                platform::kMoveFileReplaceExisting)) {
    RaiseCopyFailure(platform, u"Cannot schedule the replacement of", target_path);
  }
}

void MoveWhole(Platform& platform, const std::u16string& from, const std::u16string& to) {
  if (!platform.MoveFileExW(from, to, kReplace)) RaiseCopyFailure(platform, u"Cannot replace", to);
}

}  // namespace

Replacement PutInPlace(Platform& platform, platform::Advapi32& advapi32,
                       WindowsProtection& protection, const std::u16string& staging_path,
                       const std::u16string& target_path) {
  const std::u16string replacement = ReplacementPathFor(target_path);
  // An earlier run's copy waiting for the restart, which Windows' list may name: replaced whole
  // by this run's, never left to be renamed over a newer target at the restart.
  const bool earlier = ClearLeftover(platform, replacement);
  std::u16string ours = staging_path;  // this run's copy, removed again when the target stays
  try {
    if (earlier) {
      MoveWhole(platform, staging_path, replacement);
      ours = replacement;
    }
    if (ReplaceNow(platform, protection, ours, target_path))
      return earlier ? Replacement::kDoneOverAnEarlierRun : Replacement::kDone;
    if (!earlier) {
      MoveWhole(platform, staging_path, replacement);
      ours = replacement;
    }
    ScheduleReplacement(platform, advapi32, replacement, target_path);
    return Replacement::kAtRestart;
  } catch (...) {
    RemoveWhenFree(platform, ours);
    throw;
  }
}

}  // namespace vannix
