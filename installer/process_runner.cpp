#include "installer/process_runner.h"

#include <vector>

#include "platform/unique_handle.h"

namespace vannix {
namespace {

// sizeof(STARTUPINFOW) in a 32-bit process.
constexpr std::uint32_t kStartupInfoSize = 68;
// How long an ended child may take to be gone, so that it lets go of what it holds.
constexpr std::uint32_t kEndingTime = 5000;

}  // namespace

std::int32_t ExecuteAndWait(platform::Platform& platform, const std::u16string& command,
                            std::uint16_t show_window, bool wait, const ChildStart& start) {
  // CreateProcessW may write into its command line, so it gets a copy sized from the command.
  std::vector<char16_t> command_line(command.begin(), command.end());
  command_line.push_back(u'\0');

  platform::StartupInfo startup;
  startup.cb = kStartupInfoSize;
  startup.dwFlags = platform::kStartfUseShowWindow;
  startup.wShowWindow = show_window;

  platform::ProcessInformation info;
  if (!platform.CreateProcessW(start.application, command_line.data(), false,
                               start.creation_flags, start.directory, startup, &info)) {
    return -1;
  }
  // Declared thread first, so the process handle is closed before the thread handle.
  const platform::UniqueThread thread(platform, info.hThread);
  const platform::UniqueProcess process(platform, info.hProcess);

  std::uint32_t exit_code = 0;
  if (wait) {
    if (platform.WaitForSingleObject(process.GetUnsafe(), start.time_limit) ==
        platform::kWaitTimeout) {
      platform.TerminateProcess(process.GetUnsafe(), platform::kErrorTimeout);
      platform.WaitForSingleObject(process.GetUnsafe(), kEndingTime);
      return -1;
    }
    if (!platform.GetExitCodeProcess(process.GetUnsafe(), &exit_code)) return -1;
  }
  return static_cast<std::int32_t>(exit_code);
}

}  // namespace vannix
