/* launch.exe [OPTIONS] PROGRAM [ARGS...]
 * launch.exe [OPTIONS] /cmdfile:FILE
 * Starts a program with CreateProcessW as a caller would, waits for it and exits with its exit
 * code; prints "launch: exit=N ms=T" (T: from CreateProcessW until the process ended).
 *   /show:VALUE    STARTF_USESHOWWINDOW with wShowWindow VALUE: a number or hide (0),
 *                  normal (1), minimized (2, SW_SHOWMINIMIZED), maximized (3),
 *                  minnoactive (7, SW_SHOWMINNOACTIVE)
 *   /cwd:DIR       the program's current directory
 *   /newconsole    CREATE_NEW_CONSOLE
 *   /cmdfile:FILE  the whole command line, verbatim, from FILE (UTF-8, one line); exact quoting,
 *                  which an argument vector passed through Wine's loader would not keep
 * Otherwise the command line is PROGRAM and ARGS, each quoted when it holds a space.
 * Exit code 250 when the process could not be started (the error is printed).
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static int starts(const wchar_t *s, const wchar_t *prefix) { return !wcsncmp(s, prefix, wcslen(prefix)); }

static int show_value(const wchar_t *v) {
    static const struct { const wchar_t *name; int value; } names[] = {
        {L"hide", SW_HIDE}, {L"normal", SW_SHOWNORMAL}, {L"minimized", SW_SHOWMINIMIZED},
        {L"maximized", SW_SHOWMAXIMIZED}, {L"minnoactive", SW_SHOWMINNOACTIVE}};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        if (!_wcsicmp(v, names[i].name)) return names[i].value;
    return _wtoi(v);
}

static wchar_t *read_command_file(const wchar_t *path) {
    FILE *f = _wfopen(path, L"rb");
    if (!f) return NULL;
    static char bytes[32768];
    size_t n = fread(bytes, 1, sizeof bytes - 1, f);
    fclose(f);
    while (n && (bytes[n - 1] == '\n' || bytes[n - 1] == '\r')) n--;
    bytes[n] = 0;
    static wchar_t line[32768];
    if (!MultiByteToWideChar(CP_UTF8, 0, bytes, -1, line, 32768)) return NULL;
    return line;
}

int wmain(int argc, wchar_t **argv) {
    STARTUPINFOW si = {0};
    si.cb = sizeof si;
    const wchar_t *cwd = NULL;
    DWORD flags = 0;
    wchar_t *command = NULL;
    static wchar_t built[32768];
    int i = 1;
    for (; i < argc && argv[i][0] == L'/'; i++) {
        if (starts(argv[i], L"/show:")) {
            si.dwFlags |= STARTF_USESHOWWINDOW;
            si.wShowWindow = (WORD)show_value(argv[i] + 6);
        } else if (starts(argv[i], L"/cwd:")) cwd = argv[i] + 5;
        else if (!wcscmp(argv[i], L"/newconsole")) flags |= CREATE_NEW_CONSOLE;
        else if (starts(argv[i], L"/cmdfile:")) {
            if (!(command = read_command_file(argv[i] + 9))) { wprintf(L"launch: cannot read %ls\n", argv[i] + 9); return 250; }
        } else break;
    }
    if (!command) {
        if (i >= argc) { wprintf(L"usage: launch [/show:V] [/cwd:DIR] [/newconsole] PROGRAM [ARGS] | /cmdfile:FILE\n"); return 250; }
        for (; i < argc; i++) {
            int quote = wcschr(argv[i], L' ') != NULL || !argv[i][0];
            if (built[0]) wcscat(built, L" ");
            if (quote) wcscat(built, L"\"");
            wcscat(built, argv[i]);
            if (quote) wcscat(built, L"\"");
        }
        command = built;
    }
    PROCESS_INFORMATION pi;
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    if (!CreateProcessW(NULL, command, NULL, NULL, FALSE, flags, NULL, cwd, &si, &pi)) {
        wprintf(L"launch: CreateProcessW failed, error %lu: %ls\n", (unsigned long)GetLastError(), command);
        return 250;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    QueryPerformanceCounter(&t1);
    DWORD code = 250;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    wprintf(L"launch: exit=%lu ms=%lu\n", (unsigned long)code,
            (unsigned long)((t1.QuadPart - t0.QuadPart) * 1000 / f.QuadPart));
    fflush(stdout);
    return (int)code;
}
