#include "installer/target_replacement.h"

#include <algorithm>
#include <vector>

#include "installer/copy_failure.h"
#include "installer/work_files.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

using platform::Platform;

// Written through: the rename is on the disk when the call returns.
constexpr std::uint32_t kReplace =
    platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough;
constexpr std::uint32_t kShareAll =
    platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete;

// Why a replacement failed, as far as another attempt is concerned.
enum class Obstacle {
  kRefused,     // never: no wait, no restart can do it
  kHeldTarget,  // another program holds the target: worth waiting for, then the restart
  kHeldCopy,    // another program (a scanner) holds this run's copy: worth waiting for only
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
                            const std::u16string& copy, const std::u16string& target_path,
                            std::uint32_t error) {
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
  if (write_error != 0 && write_error != platform::kErrorSharingViolation)
    return Obstacle::kRefused;
  if (write_error == 0 && OpenError(platform, copy, platform::kDelete) != 0)
    return Obstacle::kHeldCopy;  // nothing holds the target: the copy is what is held
  return Obstacle::kHeldTarget;
}

// Whether the files at `a` and `b` hold the same bytes; false when either cannot be read.
bool SameBytes(Platform& platform, const std::u16string& a, const std::u16string& b) {
  const auto open = [&](const std::u16string& path) {
    return platform.CreateFileW(path, platform::kGenericRead, kShareAll, platform::kOpenExisting, 0);
  };
  const platform::UniqueFile first(platform, open(a));
  const platform::UniqueFile second(platform, open(b));
  platform::FileInformation one, other;
  if (!first || !second || !platform.GetFileInformationByHandle(first.GetUnsafe(), &one) ||
      !platform.GetFileInformationByHandle(second.GetUnsafe(), &other) || one.size != other.size) {
    return false;
  }
  constexpr std::uint32_t kChunk = 65536;
  std::vector<std::byte> left(kChunk), right(kChunk);
  for (std::uint64_t remaining = one.size; remaining > 0;) {
    const auto wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, remaining));
    std::uint32_t read_left = 0, read_right = 0;
    if (!platform.ReadFile(first.GetUnsafe(), left.data(), wanted, &read_left) ||
        !platform.ReadFile(second.GetUnsafe(), right.data(), wanted, &read_right) ||
        read_left != wanted || read_right != wanted ||
        !std::equal(left.begin(), left.begin() + wanted, right.begin())) {
      return false;
    }
    remaining -= wanted;
  }
  return true;
}

}  // namespace

Placement PutInPlace(Platform& platform, WindowsProtection& protection,
                     const std::u16string& staging_path, const std::u16string& target_path) {
  try {
    if (platform.MoveFileExW(staging_path, target_path, kReplace)) return Placement::kInPlace;
    const std::uint32_t error = platform.GetLastError();
    const Obstacle obstacle =
        WhatStandsInTheWay(platform, protection, staging_path, target_path, error);
    if (obstacle == Obstacle::kRefused) RaiseCopyFailure(u"Cannot replace", target_path, error);
    // A program that keeps this release's file loaded would otherwise have every later run
    // wait and schedule its replacement by itself.
    if (obstacle == Obstacle::kHeldTarget && SameBytes(platform, staging_path, target_path)) {
      RemoveWhenFree(platform, staging_path);
      return Placement::kInPlace;
    }
    for (const std::uint32_t wait : kHeldTargetWaits) {
      platform.Sleep(wait);
      if (platform.MoveFileExW(staging_path, target_path, kReplace)) return Placement::kInPlace;
      // Anything but a hold ends the waits: it will not pass.
      if (!HeldError(platform.GetLastError()))
        RaiseCopyFailure(platform, u"Cannot replace", target_path);
    }
    // A copy that a scanner holds through the waits is never left for the restart.
    if (obstacle == Obstacle::kHeldCopy) RaiseCopyFailure(platform, u"Cannot replace", target_path);
    return Placement::kHeld;
  } catch (...) {
    RemoveWhenFree(platform, staging_path);
    throw;
  }
}

}  // namespace vannix
