/* The start-up floor of the benchmark: a 32-bit GUI program that does nothing and exits 0.
 * Built like the installer (static, -mwindows), so timing it gives what the loader and the
 * process start-up cost on their own. With BENCH_MEASURE_MEMORY it records its memory figures
 * (tools/bench/memory_report.cpp), the floor of the installer's. With BENCH_INSTALLER_IMPORTS it
 * imports what the installer imports besides kernel32 and msvcrt (user32, ole32), without calling
 * it: the cost of loading those libraries; with BENCH_INSTALLER_FRAME it also initialises OLE and
 * COM as the installer's process frame does. */
#include <windows.h>
#if defined(BENCH_INSTALLER_IMPORTS) || defined(BENCH_INSTALLER_FRAME)
#include <ole2.h>
#endif

#ifdef BENCH_MEASURE_MEMORY
void vannix_bench_report_memory(void);
#endif

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
  (void)instance; (void)previous; (void)command_line; (void)show;
#ifdef BENCH_INSTALLER_IMPORTS
  /* Never true: only makes the image import user32 and ole32, as the installer's does. */
  if (show == 0x7fff) {
    MessageBoxW(NULL, L"", L"", MB_OK);
    CoInitialize(NULL);
  }
#endif
#ifdef BENCH_INSTALLER_FRAME
  /* The installer's process frame around nothing: OLE and COM initialised and shut down. */
  if (show == 0x7fff) MessageBoxW(NULL, L"", L"", MB_OK);
  if (SUCCEEDED(OleInitialize(NULL))) {
    if (SUCCEEDED(CoInitialize(NULL))) CoUninitialize();
    OleUninitialize();
  }
#endif
#ifdef BENCH_MEASURE_MEMORY
  vannix_bench_report_memory();
#endif
  return 0;
}
