// Whether a path names an existing file (not a directory), following symbolic links.
#pragma once

#include <string>

#include "platform/platform.h"

namespace vannix {

bool FileExists(platform::Platform& platform, const std::u16string& path);

}  // namespace vannix
