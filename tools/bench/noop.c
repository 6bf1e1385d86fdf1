/* The start-up floor of the benchmark: a 32-bit GUI program that does nothing and exits 0.
 * Built like the installer (static, -mwindows), so timing it gives what the loader and the
 * process start-up cost on their own. With BENCH_MEASURE_MEMORY it records its memory figures
 * (tools/bench/memory_report.cpp), the floor of the installer's. */
#include <windows.h>

#ifdef BENCH_MEASURE_MEMORY
void vannix_bench_report_memory(void);
#endif

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
  (void)instance; (void)previous; (void)command_line; (void)show;
#ifdef BENCH_MEASURE_MEMORY
  vannix_bench_report_memory();
#endif
  return 0;
}
