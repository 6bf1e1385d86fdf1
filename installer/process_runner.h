// Starts a child process and waits for it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vannix {

// How a child is started, beyond its command line.
struct ChildStart {
  // The full path of the program, so that Windows never guesses it from an unquoted command
  // line; null: taken from the command line.
  const std::u16string* application = nullptr;
  // Its current directory; null: the installer's own (which may be a Downloads folder).
  const std::u16string* directory = nullptr;
  std::uint32_t creation_flags = platform::kCreateNewConsole | platform::kNormalPriorityClass;
  // How long a wait may last, in milliseconds; a child still running then is ended and counts
  // as not started. regsvr32 is waited for without a limit.
  std::uint32_t time_limit = platform::kInfinite;
};

// Runs `command` with the given show-window value and, when `wait` is set, waits for it to end
// (within `start.time_limit`). Returns -1 when no process could be started or it ran out of
// time, else the child's exit code carried bit for bit (so 0xFFFFFFFF also reads -1).
std::int32_t ExecuteAndWait(platform::Platform& platform, const std::u16string& command,
                            std::uint16_t show_window, bool wait, const ChildStart& start = {});

}  // namespace vannix
