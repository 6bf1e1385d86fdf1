// How a copy that cannot go on is reported to the caller of CopyPayload.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "installer/failure.h"
#include "installer/text.h"
#include "platform/platform.h"

namespace vannix {

[[noreturn]] inline void RaiseCopyFailure(std::u16string_view what, const std::u16string& path,
                                          std::uint32_t error) {
  throw Failure("CopyError",
                std::u16string(what) + u" " + path + ErrorText(error));
}

[[noreturn]] inline void RaiseCopyFailure(platform::Platform& platform, std::u16string_view what,
                                          const std::u16string& path) {
  RaiseCopyFailure(what, path, platform.GetLastError());
}

}  // namespace vannix
