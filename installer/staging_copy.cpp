#include "installer/staging_copy.h"

#include <algorithm>
#include <vector>

#include "installer/copy_failure.h"
#include "installer/own_resource.h"
#include "installer/work_files.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

using platform::Platform;

// One chunk, short writes continued. A WriteFile call that fails, or that reports success but
// writes nothing, is a failed attempt: it is made once more, and two in a row end the copy.
// What a call reports as written is in the file even when the call failed: the next attempt
// goes on after it, so that no byte is written twice.
void WriteChunk(Platform& platform, const platform::UniqueFile& file, const std::byte* data,
                std::uint32_t size, const std::u16string& path) {
  bool failed_once = false;
  while (size > 0) {
    std::uint32_t written = 0;
    const bool ok = platform.WriteFile(file.GetUnsafe(), data, size, &written);
    written = std::min(written, size);
    data += written;
    size -= written;
    if (ok && written > 0) {
      failed_once = false;
    } else {
      if (failed_once) RaiseCopyFailure(platform, u"Cannot write", path);
      failed_once = true;
    }
  }
}

// The copy itself; `created` tells the caller whether the file at `path` is this run's.
void WriteFlushed(Platform& platform, platform::RawHandle module,
                  platform::RawHandle resource_info, const std::u16string& path, bool* created) {
  // A new file, held without sharing while it is written, so that no other program writes
  // into it or renames it half-written.
  const platform::UniqueFile file(
      platform, platform.CreateFileW(path, platform::kGenericRead | platform::kGenericWrite, 0,
                                     platform::kCreateNew, platform::kFileAttributeNormal));
  if (!file) RaiseCopyFailure(platform, u"Cannot create", path);
  *created = true;

  const OwnResource payload = LoadOwnResource(platform, module, resource_info);
  if (!payload.handle) RaiseCopyFailure(platform, u"Cannot load the payload for", path);
  const std::uint32_t size = payload.size;
  const std::byte* bytes = payload.bytes;
  if (bytes == nullptr && size != 0)
    RaiseCopyFailure(platform, u"Cannot lock the payload for", path);

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

}  // namespace

void WriteStagingCopy(Platform& platform, platform::RawHandle module,
                      platform::RawHandle resource_info, const std::u16string& path) {
  // Whatever is there is a partial or obsolete copy: no restart renames this name.
  if (!RemoveLeftover(platform, path)) RaiseCopyFailure(platform, u"Cannot remove", path);
  bool created = false;
  try {
    WriteFlushed(platform, module, resource_info, path, &created);
  } catch (...) {
    // Only a file this run created is removed: when the name is held by another installer
    // running at the same time, that copy stays its own.
    if (created) RemoveWhenFree(platform, path);
    throw;
  }
}

}  // namespace vannix
