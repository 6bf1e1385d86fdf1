// Starts a child process and waits for it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vannix {

// Runs `command` with the given show-window value and, when `wait` is set, waits without a time
// limit for it to end. Returns -1 when no process could be started, else the child's exit code
// carried bit for bit (so 0xFFFFFFFF also reads -1). `application`, when given, is the full path
// of the program, so Windows never guesses it from an unquoted command line.
std::int32_t ExecuteAndWait(platform::Platform& platform, const std::u16string& command,
                            std::uint16_t show_window, bool wait,
                            const std::u16string* application = nullptr);

}  // namespace vannix
