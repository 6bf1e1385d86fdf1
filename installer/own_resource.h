// A resource of the program's own image, loaded and locked: its bytes where the loader mapped
// the image, read in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace vannix {

struct OwnResource {
  platform::UniqueResource handle;  // released with the owner (FreeResource)
  std::uint32_t size = 0;
  const std::byte* bytes = nullptr;  // null when it cannot be loaded or locked
};

// LoadResource, then SizeofResource and LockResource, of the resource `resource_info` that
// FindResourceW found in `module`.
inline OwnResource LoadOwnResource(platform::Platform& platform, platform::RawHandle module,
                                   platform::RawHandle resource_info) {
  OwnResource resource{
      platform::UniqueResource(platform, platform.LoadResource(module, resource_info))};
  if (!resource.handle) return resource;
  resource.size = platform.SizeofResource(module, resource_info);
  resource.bytes = platform.LockResource(resource.handle.GetUnsafe());
  return resource;
}

}  // namespace vannix
