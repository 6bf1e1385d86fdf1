#include "installer/file_exists.h"

#include "platform/unique_handle.h"

namespace vannix {
namespace {

using platform::Platform;

// Attributes could not be read for a reason other than absence: ask the directory instead.
bool ExistsByDirectoryListing(Platform& platform, const std::u16string& path) {
  std::uint32_t attributes = 0;
  const platform::UniqueFind find(platform, platform.FindFirstFileW(path, &attributes));
  if (!find) return false;
  return (attributes & platform::kFileAttributeDirectory) == 0;
}

// Opening follows the link, so a link whose target is missing counts as absent.
bool LinkTargetExists(Platform& platform, const std::u16string& path) {
  const platform::UniqueFile file(
      platform, platform.CreateFileW(path, platform::kGenericRead, platform::kFileShareRead,
                                     platform::kOpenExisting, 0));
  if (file) return true;
  return platform.GetLastError() == platform::kErrorSharingViolation;
}

}  // namespace

bool FileExists(Platform& platform, const std::u16string& path) {
  const std::uint32_t attributes = platform.GetFileAttributesW(path);
  if (attributes == platform::kInvalidFileAttributes) {
    switch (platform.GetLastError()) {
      case platform::kErrorFileNotFound:
      case platform::kErrorPathNotFound:
      case platform::kErrorInvalidName:
        return false;
      default:
        return ExistsByDirectoryListing(platform, path);
    }
  }
  if ((attributes & platform::kFileAttributeReparsePoint) == 0)
    return (attributes & platform::kFileAttributeDirectory) == 0;
  if ((attributes & platform::kFileAttributeDirectory) != 0) return false;
  return LinkTargetExists(platform, path);
}

}  // namespace vannix
