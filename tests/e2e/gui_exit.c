/* gui_exit.exe MARKER CODE [MS | RELEASE]   (GUI subsystem, no window)
 * Stands for the installer where only its subsystem matters: sleeps MS milliseconds (default
 * 3000), or waits until the file RELEASE exists (at most 120 s), creates the file MARKER, exits
 * with CODE. A caller that does not wait for GUI programs goes on before MARKER exists. The
 * sleep only sets how long the program lives where nothing depends on it (a hidden start that
 * must show no window); a caller that needs it alive until something happened passes RELEASE.
 */
#include <windows.h>
#include <stdlib.h>
#include <wctype.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
    (void)instance; (void)previous; (void)command_line; (void)show;
    int argc;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3) return 255;
    if (argc > 3 && !iswdigit(argv[3][0]))
        for (int i = 0; i < 2400 && GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES; i++) Sleep(50);
    else
        Sleep(argc > 3 ? (DWORD)_wtoi(argv[3]) : 3000);
    HANDLE h = CreateFileW(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return _wtoi(argv[2]);
}
