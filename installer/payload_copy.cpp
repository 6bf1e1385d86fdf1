#include "installer/payload_copy.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "installer/failure.h"
#include "installer/text.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

using platform::Platform;

[[noreturn]] void RaiseCopyFailure(Platform& platform, std::u16string_view what,
                                   const std::u16string& path) {
  throw Failure("CopyError", std::u16string(what) + u" " + path + u" (error " +
                                 Decimal(platform.GetLastError()) + u")");
}

// One chunk, short writes continued; a failed WriteFile is made once more before giving up.
void WriteChunk(Platform& platform, const platform::UniqueFile& file, const std::byte* data,
                std::uint32_t size, const std::u16string& path) {
  bool retried = false;
  while (size > 0) {
    std::uint32_t written = 0;
    if (!platform.WriteFile(file.GetUnsafe(), data, size, &written)) {
      if (retried) RaiseCopyFailure(platform, u"Cannot write", path);
      retried = true;
      continue;
    }
    retried = false;
    written = std::min(written, size);
    data += written;
    size -= written;
  }
}

// Writes the whole payload into a new file at `path`, through one buffer of at most one chunk.
void WriteTemporaryFile(Platform& platform, platform::RawHandle module,
                        platform::RawHandle resource_info, const std::u16string& path) {
  // Held without sharing while it is written, as the target itself would be.
  const platform::UniqueFile file(
      platform, platform.CreateFileW(path, platform::kGenericRead | platform::kGenericWrite, 0,
                                     platform::kCreateAlways, platform::kFileAttributeNormal));
  if (!file) RaiseCopyFailure(platform, u"Cannot create", path);

  const platform::UniqueResource resource(platform,
                                          platform.LoadResource(module, resource_info));
  if (!resource) RaiseCopyFailure(platform, u"Cannot load the payload for", path);
  const std::uint32_t size = platform.SizeofResource(module, resource_info);
  const std::byte* bytes = platform.LockResource(resource.GetUnsafe());
  if (bytes == nullptr && size != 0) RaiseCopyFailure(platform, u"Cannot lock the payload for", path);

  std::vector<std::byte> buffer(std::min(kCopyChunk, size));
  for (std::uint32_t offset = 0; offset < size;) {
    const std::uint32_t chunk = std::min(kCopyChunk, size - offset);
    std::memcpy(buffer.data(), bytes + offset, chunk);
    WriteChunk(platform, file, buffer.data(), chunk, path);
    offset += chunk;
  }
  // The owners release the resource, then close the file.
}

}  // namespace

std::u16string TemporaryPathFor(const std::u16string& target_path) {
  return target_path + u".vannix-new";
}

void CopyPayload(Platform& platform, const std::u16string& resource_name,
                 const std::u16string& target_path) {
  // Looked up before anything on disk is touched: a missing payload changes nothing.
  const platform::RawHandle module = platform.GetModuleHandleW();
  const platform::RawHandle resource_info =
      platform.FindResourceW(module, resource_name, platform::kRtRcdata);
  if (resource_info == 0) {
    throw Failure("CopyError", u"The payload " + resource_name + u" is missing");
  }

  const std::u16string temporary = TemporaryPathFor(target_path);
  try {
    WriteTemporaryFile(platform, module, resource_info, temporary);
    if (!platform.MoveFileExW(temporary, target_path,
                              platform::kMoveFileReplaceExisting |
                                  platform::kMoveFileWriteThrough)) {
      RaiseCopyFailure(platform, u"Cannot replace", target_path);
    }
  } catch (...) {
    platform.DeleteFileW(temporary);  // only ever our own file; the target stays as it was
    throw;
  }
}

}  // namespace vannix
