// setup_vannix_check: tells whether setup_vannix.exe's installation took on this machine, in
// its output and its exit code. A console program; it changes nothing and needs no elevation.

#include <string>
#include <vector>

#include "check/check_command.h"
#include "platform/win32_console.h"
#include "platform/win32_hashing.h"
#include "platform/win32_platform.h"
#include "platform/win32_registry.h"

int wmain(int argc, wchar_t** argv) {
  vannix::platform::RestrictDllSearchToSystem32();

  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));

  vannix::platform::Win32Platform platform;
  // advapi32 is loaded when first needed, after the DLL search is restricted.
  vannix::platform::Win32Registry registry(platform);
  vannix::platform::Win32Hashing hashing(platform);
  return vannix::RunCheckCommand(arguments, platform, registry, hashing,
                                 vannix::platform::WriteStandardOutput,
                                 vannix::platform::WriteStandardError);
}
