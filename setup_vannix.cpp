// setup_vannix: writes the component set into the system directory for 32-bit images and
// registers its COM servers. No window, no arguments, no configuration, no log.

#include <windows.h>

#include "installer/deploy.h"
#include "installer/failure_report.h"
#include "installer/process_frame.h"
#include "platform/win32_platform.h"
#include "platform/win32_registry.h"

namespace {

vannix::ProcessFrame* g_frame = nullptr;

// The system calls this only for a fault that no handler took and that its own unhandled
// exception filter would not pass on: report it and end the process.
LONG WINAPI OnUnhandledFault(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  const auto address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
  const vannix::Failure failure = vannix::FailureFromSystemFault(
      record.ExceptionCode, address, record.NumberParameters,
      reinterpret_cast<const std::uintptr_t*>(record.ExceptionInformation));
  if (g_frame != nullptr) ::ExitProcess(static_cast<UINT>(g_frame->OnSystemFault(failure)));
  // Before the run began: the process itself could not start.
  vannix::platform::Win32Platform platform;
  ::ExitProcess(static_cast<UINT>(vannix::OnStartUpFault(platform, address)));
}

void Install(vannix::platform::Platform& platform) {
#if SETUP_VANNIX_RAISE_FAILURE == 1
  // Test builds only: a failure that escapes the installation...
  (void)platform;
  throw vannix::Failure("InjectedFailure", u"Raised on purpose to show the failure path");
#elif SETUP_VANNIX_RAISE_FAILURE == 2
  // ...or a fault raised by the processor: a write into the read-only shared user data page
  // (the null page is no good: Wine may map it for DOS compatibility).
  (void)platform;
  int* volatile read_only = reinterpret_cast<int*>(0x7FFE0000);
  *read_only = 1;
#else
  // advapi32 is loaded only if something is left for the next restart.
  vannix::platform::Win32Registry registry(platform);
  vannix::InstallComponents(platform, registry);
#endif
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  ::SetUnhandledExceptionFilter(OnUnhandledFault);
  vannix::platform::RestrictDllSearchToSystem32();

  vannix::platform::Win32Platform platform;
  vannix::ProcessFrame frame(platform);
  g_frame = &frame;
  const int exit_code = frame.Run([&] { Install(platform); });
  g_frame = nullptr;
  ::ExitProcess(static_cast<UINT>(exit_code));
}
