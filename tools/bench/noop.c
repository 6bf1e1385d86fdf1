/* The start-up floor of the benchmark: a 32-bit GUI program that does nothing and exits 0,
 * built like the installer, so that timing it gives what starting a process costs alone. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
  (void)instance; (void)previous; (void)command_line; (void)show;
  return 0;
}
