#include "installer/work_files.h"

namespace vannix {

using platform::Platform;

std::u16string StagingPathFor(const std::u16string& target_path) {
  return target_path + u".vannix-next";
}

std::u16string ReplacementPathFor(const std::u16string& target_path) {
  return target_path + u".vannix-new";
}

bool HeldError(std::uint32_t error) {
  return error == platform::kErrorSharingViolation || error == platform::kErrorAccessDenied;
}

bool RemoveLeftover(Platform& platform, const std::u16string& path, bool* found) {
  const std::uint32_t attributes = platform.GetFileAttributesW(path);
  if (found != nullptr) *found = attributes != platform::kInvalidFileAttributes;
  if (attributes == platform::kInvalidFileAttributes) return true;
  const bool link = (attributes & platform::kFileAttributeReparsePoint) != 0;
  if (!link && (attributes & platform::kFileAttributeDirectory) != 0) return false;
  constexpr std::uint32_t kInTheWay = platform::kFileAttributeReadOnly |
                                      platform::kFileAttributeHidden |
                                      platform::kFileAttributeSystem;
  if (!link && (attributes & kInTheWay) != 0)
    platform.SetFileAttributesW(path, platform::kFileAttributeNormal);
  RemoveWhenFree(platform, path);
  return platform.GetFileAttributesW(path) == platform::kInvalidFileAttributes;
}

void RemoveWhenFree(Platform& platform, const std::u16string& path) {
  if (platform.DeleteFileW(path)) return;
  for (const std::uint32_t wait : kHeldRetryWaits) {
    if (!HeldError(platform.GetLastError())) return;
    platform.Sleep(wait);
    if (platform.DeleteFileW(path)) return;
  }
}

}  // namespace vannix
