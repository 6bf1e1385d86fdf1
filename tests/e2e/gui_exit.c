/* gui_exit.exe MARKER CODE [MS | RELEASE]   (GUI subsystem, no window)
 * Stands for the installer where only its subsystem matters: sleeps MS milliseconds (default
 * 3000), or waits until the file RELEASE exists (at most 120 s), creates the file MARKER, exits
 * with CODE. A caller that does not wait for GUI programs goes on before MARKER exists. The
 * sleep is no synchronisation: no passing outcome depends on its length. Under `start /wait` the
 * caller waits for the exit whatever it is; it only gives a caller that wrongly does not wait
 * time to look for MARKER too early. A hidden start must show no window at all, and the watcher
 * records every window made, even one gone again. A caller that needs the program alive until
 * something happened passes RELEASE, an event.
 */
#include <stdlib.h>
#include <wctype.h>

#include "wait_for_file.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
    (void)instance; (void)previous; (void)command_line; (void)show;
    int argc;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3) return 255;
    if (argc > 3 && !iswdigit(argv[3][0]))
        WaitForFile(argv[3], 120000);
    else
        Sleep(argc > 3 ? (DWORD)_wtoi(argv[3]) : 3000);
    HANDLE h = CreateFileW(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return _wtoi(argv[2]);
}
