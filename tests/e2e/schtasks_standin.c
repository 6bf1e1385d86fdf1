/* schtasks.exe stand-in: Windows' Task Scheduler for the end-to-end tests. Wine's own schtasks
 * accepts a definition and exits 0, but keeps it without its trigger, principal and command,
 * and runs nothing at a restart. This one, placed in a test prefix's system directory for
 * 32-bit programs, keeps each definition it is given byte for byte, so that the test can run
 * the tasks as Windows would when it starts (tests/e2e/scenario.py, Scenario.start_windows):
 *   schtasks /create /tn NAME /xml FILE [/ru USER] [/f]   keeps FILE as C:\vannix-scheduler\NAME.xml
 *   schtasks /delete /tn NAME [/f]                        removes it (exit 1 when there is none)
 * Each call adds a line "create NAME" or "delete NAME" to C:\vannix-scheduler\log.txt. Anything
 * else exits 1, as schtasks does for what it does not understand.
 */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#define STORE L"C:\\vannix-scheduler"

static void record(const wchar_t *what, const wchar_t *name) {
    FILE *log = _wfopen(STORE L"\\log.txt", L"a");
    if (log) {
        fwprintf(log, L"%ls %ls\n", what, name);
        fclose(log);
    }
}

int wmain(int argc, wchar_t **argv) {
    const wchar_t *name = NULL, *xml = NULL;
    int create = 0, remove = 0;
    for (int i = 1; i < argc; ++i) {
        if (!_wcsicmp(argv[i], L"/create")) create = 1;
        else if (!_wcsicmp(argv[i], L"/delete")) remove = 1;
        else if (!_wcsicmp(argv[i], L"/tn") && i + 1 < argc) name = argv[++i];
        else if (!_wcsicmp(argv[i], L"/xml") && i + 1 < argc) xml = argv[++i];
        else if (!_wcsicmp(argv[i], L"/ru") && i + 1 < argc) ++i;
        else if (_wcsicmp(argv[i], L"/f")) return 1;
    }
    if (name == NULL || create == remove || (create && xml == NULL)) return 1;
    wchar_t stored[MAX_PATH];
    if (swprintf(stored, MAX_PATH, STORE L"\\%ls.xml", name) < 0) return 1;
    CreateDirectoryW(STORE, NULL);
    if (create) {
        if (!CopyFileW(xml, stored, FALSE)) return 1;
        record(L"create", name);
        return 0;
    }
    if (!DeleteFileW(stored)) return 1;
    record(L"delete", name);
    return 0;
}
