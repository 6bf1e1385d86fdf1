#include "installer/payload_copy.h"

#include <algorithm>
#include <vector>

#include "installer/failure.h"
#include "installer/pending_renames.h"
#include "installer/text.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

using platform::Platform;

[[noreturn]] void RaiseCopyFailure(std::u16string_view what, const std::u16string& path,
                                   std::uint32_t error) {
  throw Failure("CopyError",
                std::u16string(what) + u" " + path + u" (error " + Decimal(error) + u")");
}

[[noreturn]] void RaiseCopyFailure(Platform& platform, std::u16string_view what,
                                   const std::u16string& path) {
  RaiseCopyFailure(what, path, platform.GetLastError());
}

// What Windows reports for a file that another program has open or loaded.
bool HeldError(std::uint32_t error) {
  return error == platform::kErrorSharingViolation || error == platform::kErrorAccessDenied;
}

// One chunk, short writes continued. A WriteFile call that fails, or that reports success but
// writes nothing, is a failed attempt: it is made once more, and two in a row end the copy.
// What a call reports as written is in the file even when the call failed: the next attempt
// goes on after it, so that no byte is written twice.
void WriteChunk(Platform& platform, const platform::UniqueFile& file, const std::byte* data,
                std::uint32_t size, const std::u16string& path) {
  bool retried = false;
  while (size > 0) {
    std::uint32_t written = 0;
    const bool ok = platform.WriteFile(file.GetUnsafe(), data, size, &written);
    written = std::min(written, size);
    data += written;
    size -= written;
    if (ok && written > 0) {
      retried = false;
    } else {
      if (retried) RaiseCopyFailure(platform, u"Cannot write", path);
      retried = true;
    }
  }
}

// A leftover of an interrupted run at the temporary name must not stop this one: CREATE_ALWAYS
// refuses a read-only, hidden or system file and would write through a link. Only ever this
// program's own temporary names are touched, and a link is removed itself, never its target.
// True when a file stays at `temporary`.
bool ClearLeftover(Platform& platform, const std::u16string& temporary) {
  const std::uint32_t attributes = platform.GetFileAttributesW(temporary);
  if (attributes == platform::kInvalidFileAttributes) return false;
  if ((attributes & platform::kFileAttributeReparsePoint) != 0) {
    platform.DeleteFileW(temporary);
    return false;
  }
  constexpr std::uint32_t kRefusedByCreate = platform::kFileAttributeReadOnly |
                                             platform::kFileAttributeHidden |
                                             platform::kFileAttributeSystem;
  if ((attributes & platform::kFileAttributeDirectory) == 0 &&
      (attributes & kRefusedByCreate) != 0) {
    platform.SetFileAttributesW(temporary, platform::kFileAttributeNormal);
  }
  return (attributes & platform::kFileAttributeDirectory) == 0;
}

// Writes the whole payload into a new file at `path`, through one buffer of at most one chunk,
// and flushes it, so that the rename that follows never publishes a file whose data is not yet
// on the disk. `created` tells the caller whether the file at `path` is this run's.
void WriteTemporaryFile(Platform& platform, platform::RawHandle module,
                        platform::RawHandle resource_info, const std::u16string& path,
                        bool* created) {
  // Held without sharing while it is written, as the target itself would be.
  const platform::UniqueFile file(
      platform, platform.CreateFileW(path, platform::kGenericRead | platform::kGenericWrite, 0,
                                     platform::kCreateAlways, platform::kFileAttributeNormal));
  if (!file) RaiseCopyFailure(platform, u"Cannot create", path);
  *created = true;

  const platform::UniqueResource resource(platform,
                                          platform.LoadResource(module, resource_info));
  if (!resource) RaiseCopyFailure(platform, u"Cannot load the payload for", path);
  const std::uint32_t size = platform.SizeofResource(module, resource_info);
  const std::byte* bytes = platform.LockResource(resource.GetUnsafe());
  if (bytes == nullptr && size != 0) RaiseCopyFailure(platform, u"Cannot lock the payload for", path);

  // The payload is read through the system, not with memcpy: a page of the image that can no
  // longer be read (the medium it runs from went away) then fails this copy like any other
  // failure instead of faulting the whole process.
  const platform::RawHandle self = platform.GetCurrentProcess();
  std::vector<std::byte> buffer(std::min(kCopyChunk, size));
  for (std::uint32_t offset = 0; offset < size;) {
    const std::uint32_t chunk = std::min(kCopyChunk, size - offset);
    std::uint32_t read = 0;
    if (!platform.ReadProcessMemory(self, bytes + offset, buffer.data(), chunk, &read) ||
        read != chunk) {
      RaiseCopyFailure(platform, u"Cannot read the payload for", path);
    }
    WriteChunk(platform, file, buffer.data(), chunk, path);
    offset += chunk;
  }
  if (!platform.FlushFileBuffers(file.GetUnsafe()))
    RaiseCopyFailure(platform, u"Cannot flush", path);
  // The owners release the resource, then close the file.
}

// A failed replacement worth waiting for: the target is held, not refused for good. A read-only
// target or a directory refuses every attempt, and Windows never lets go of its own files.
// Asked only after a failure, so that a run in which nothing is held never loads sfc.dll.
bool MayBeHeldBriefly(Platform& platform, WindowsProtection& protection,
                      const std::u16string& target_path, std::uint32_t error) {
  if (!HeldError(error)) return false;
  const std::uint32_t attributes = platform.GetFileAttributesW(target_path);
  if (attributes == platform::kInvalidFileAttributes ||
      (attributes & (platform::kFileAttributeReadOnly | platform::kFileAttributeDirectory)) != 0) {
    return false;
  }
  return !protection.IsProtected(target_path);
}

// Replaces the target with the complete temporary file, waiting a while for a program that
// holds it. False when it is still held after the waits; raises for any other failure.
bool ReplaceTarget(Platform& platform, WindowsProtection& protection,
                   const std::u16string& temporary, const std::u16string& target_path) {
  constexpr std::uint32_t kFlags = platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough;
  if (platform.MoveFileExW(temporary, target_path, kFlags)) return true;
  const std::uint32_t error = platform.GetLastError();
  if (!MayBeHeldBriefly(platform, protection, target_path, error))
    RaiseCopyFailure(u"Cannot replace", target_path, error);
  for (const std::uint32_t wait : kHeldRetryWaits) {
    platform.Sleep(wait);
    if (platform.MoveFileExW(temporary, target_path, kFlags)) return true;
    if (!HeldError(platform.GetLastError())) RaiseCopyFailure(platform, u"Cannot replace", target_path);
  }
  return false;
}

// The temporary file is to replace the target when Windows next starts; kept until then. A
// rename of this very file onto this very target that is pending already is not added twice,
// so that runs before a restart do not grow Windows' list.
bool ScheduleReplacement(Platform& platform, platform::Advapi32& advapi32,
                         const std::u16string& temporary, const std::u16string& target_path) {
  if (IsRenamePending(ReadPendingRenames(advapi32), temporary, target_path)) return true;
  return platform.MoveFileExW(temporary, target_path,
                              platform::kMoveFileDelayUntilReboot |
                                  platform::kMoveFileReplaceExisting);
}

// A scanner may be reading the file just written: waited for as a held target is, so that no
// multi-megabyte temporary file stays in the system directory.
void RemoveTemporaryFile(Platform& platform, const std::u16string& temporary) {
  if (platform.DeleteFileW(temporary)) return;
  for (const std::uint32_t wait : kHeldRetryWaits) {
    if (!HeldError(platform.GetLastError())) return;
    platform.Sleep(wait);
    if (platform.DeleteFileW(temporary)) return;
  }
}

}  // namespace

std::u16string TemporaryPathFor(const std::u16string& target_path) {
  return target_path + u".vannix-new";
}

std::u16string StagingPathFor(const std::u16string& target_path) {
  return target_path + u".vannix-next";
}

Replacement CopyPayload(Platform& platform, platform::Advapi32& advapi32,
                        WindowsProtection& protection, const std::u16string& resource_name,
                        const std::u16string& target_path) {
  // Looked up before anything on disk is touched: a missing payload changes nothing.
  const platform::RawHandle module = platform.GetModuleHandleW();
  const platform::RawHandle resource_info =
      platform.FindResourceW(module, resource_name, platform::kRtRcdata);
  if (resource_info == 0) {
    throw Failure("CopyError", u"The payload " + resource_name + u" is missing");
  }

  const std::u16string temporary = TemporaryPathFor(target_path);
  constexpr std::uint32_t kReplace = platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough;
  // A file already at the temporary name may be the source of a rename that Windows makes at
  // the next restart (an earlier run's, the target held then). It is never rewritten in place,
  // or a run interrupted meanwhile would leave a partial file to be renamed onto the target:
  // the payload is written beside it and replaces it whole.
  const bool earlier = ClearLeftover(platform, temporary);
  const std::u16string staging = earlier ? StagingPathFor(target_path) : temporary;
  if (earlier) ClearLeftover(platform, staging);
  std::u16string ours;  // the file this run created, removed again when the copy fails
  try {
    bool created = false;
    try {
      WriteTemporaryFile(platform, module, resource_info, staging, &created);
    } catch (...) {
      if (created) ours = staging;
      throw;
    }
    ours = staging;
    if (earlier) {
      if (!platform.MoveFileExW(staging, temporary, kReplace))
        RaiseCopyFailure(platform, u"Cannot replace", temporary);
      ours = temporary;
    }
    if (ReplaceTarget(platform, protection, temporary, target_path)) return Replacement::kDone;
    if (ScheduleReplacement(platform, advapi32, temporary, target_path))
      return Replacement::kAtRestart;
    RaiseCopyFailure(platform, u"Cannot schedule the replacement of", target_path);
  } catch (...) {
    // Only a file this run created is removed: when the name is held by another installer
    // running at the same time, that copy stays its own. The target stays as it was.
    if (!ours.empty()) RemoveTemporaryFile(platform, ours);
    throw;
  }
}

}  // namespace vannix
