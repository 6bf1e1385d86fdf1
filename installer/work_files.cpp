#include "installer/work_files.h"

namespace vannix {

using platform::Platform;

std::u16string StagingCopyPath(const std::u16string& target_path) {
  return target_path + u".vannix-next";
}

std::u16string WaitingCopyPath(const std::u16string& target_path) {
  return target_path + u".vannix-new";
}

std::u16string TaskDefinitionPath(const std::u16string& target_path) {
  return target_path + u".vannix-task.xml";
}

std::u16string AsidePath(const std::u16string& path) { return path + u".vannix-old"; }

bool HeldError(std::uint32_t error) {
  return error == platform::kErrorSharingViolation || error == platform::kErrorAccessDenied;
}

namespace {

// Nothing is at `path`: not a file that cannot be looked at (one whose deletion is pending).
bool IsFree(Platform& platform, const std::u16string& path) {
  if (platform.GetFileAttributesW(path) != platform::kInvalidFileAttributes) return false;
  const std::uint32_t error = platform.GetLastError();
  return error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound;
}

// One name of the installer's own: a link or junction itself, never what it points to.
void RemoveName(Platform& platform, const std::u16string& path, std::uint32_t attributes) {
  if ((attributes & platform::kFileAttributeDirectory) != 0) {
    platform.RemoveDirectoryW(path);  // a junction or a link to a directory
    return;
  }
  constexpr std::uint32_t kInTheWay = platform::kFileAttributeReadOnly |
                                      platform::kFileAttributeHidden |
                                      platform::kFileAttributeSystem;
  if ((attributes & platform::kFileAttributeReparsePoint) == 0 && (attributes & kInTheWay) != 0)
    platform.SetFileAttributesW(path, platform::kFileAttributeNormal);
  RemoveWhenFree(platform, path);
}

}  // namespace

bool RemoveLeftover(Platform& platform, const std::u16string& path, bool* found) {
  const bool free = IsFree(platform, path);
  if (found != nullptr) *found = !free;
  if (free) return true;
  const std::uint32_t attributes = platform.GetFileAttributesW(path);
  if (attributes == platform::kInvalidFileAttributes) return false;  // its deletion is pending
  const bool link = (attributes & platform::kFileAttributeReparsePoint) != 0;
  if (!link && (attributes & platform::kFileAttributeDirectory) != 0) return false;
  const std::u16string aside = AsidePath(path);
  if (platform.MoveFileExW(path, aside, platform::kMoveFileReplaceExisting))
    RemoveName(platform, aside, attributes);
  else
    RemoveName(platform, path, attributes);
  return IsFree(platform, path);
}

void RemoveStrayWorkFiles(Platform& platform, const std::u16string& target_path) {
  const std::u16string definition = TaskDefinitionPath(target_path);
  for (const std::u16string& path :
       {definition, AsidePath(definition), AsidePath(StagingCopyPath(target_path)),
        AsidePath(WaitingCopyPath(target_path))}) {
    // Removed where they stand: no new file needs these names at once.
    const std::uint32_t attributes = platform.GetFileAttributesW(path);
    if (attributes != platform::kInvalidFileAttributes) RemoveName(platform, path, attributes);
  }
}

void RemoveWhenFree(Platform& platform, const std::u16string& path) {
  if (platform.DeleteFileW(path)) return;
  for (const std::uint32_t wait : kRemovalWaits) {
    if (!HeldError(platform.GetLastError())) return;
    platform.Sleep(wait);
    if (platform.DeleteFileW(path)) return;
  }
}

}  // namespace vannix
