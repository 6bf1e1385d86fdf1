// setup_vannix_check: tells whether setup_vannix.exe's installation took on this machine, in
// its output and its exit code. A console program; it changes nothing and needs no elevation.

#include <string>
#include <vector>

#include "check/check_command.h"
#include "platform/win32_advapi32.h"
#include "platform/win32_console.h"
#include "platform/win32_platform.h"

int wmain(int argc, wchar_t** argv) {
  vannix::platform::RestrictDllSearchToSystem32();

  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));

  vannix::platform::Win32Platform platform;
  vannix::platform::Win32Advapi32 advapi32;
  return vannix::RunCheckCommand(arguments, platform, advapi32,
                                 vannix::platform::WriteStandardOutput,
                                 vannix::platform::WriteStandardError);
}
