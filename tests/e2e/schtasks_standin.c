/* schtasks.exe stand-in: Windows' Task Scheduler for the end-to-end tests. Wine's own schtasks
 * accepts a definition and exits 0, but keeps it without its trigger, principal and command,
 * and runs nothing at a restart. This one, placed in a test prefix's system directory for
 * 32-bit programs, keeps each task where Windows keeps it: its definition byte for byte in the
 * native system directory's Tasks folder, and its key in the task cache (HKLM\SOFTWARE\Microsoft
 * \Windows NT\CurrentVersion\Schedule\TaskCache\Tree\NAME, 64-bit view), so that the check finds
 * it as on Windows and the test can run the tasks as Windows would when it starts
 * (tests/e2e/scenario.py, Scenario.run_start_up_tasks):
 *   schtasks /create /tn NAME /xml FILE [/ru USER] [/f]   keeps FILE as <Tasks>\NAME, and its key;
 *                                                         exit 1 when a file of that name is
 *                                                         there without its key, as on Windows
 *   schtasks /delete /tn NAME [/f]                        removes both (exit 1 when there is none)
 *   schtasks /query /tn NAME                              exit 0 when the task exists, else 1
 * <Tasks> is %windir%\System32\Tasks, reached through Sysnative from this 32-bit program under
 * WOW64. Each change adds a line "create NAME" or "delete NAME" to C:\vannix-scheduler\log.txt.
 * Anything else exits 1, as schtasks does for what it does not understand.
 */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#define STORE L"C:\\vannix-scheduler"
#define CACHE L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Schedule\\TaskCache\\Tree\\"

/* The native Tasks folder, as a 32-bit program reaches it. */
static BOOL tasks_folder(wchar_t *folder, size_t capacity) {
    wchar_t windows[MAX_PATH];
    BOOL wow64 = FALSE;
    if (!GetSystemWindowsDirectoryW(windows, MAX_PATH)) return FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    return swprintf(folder, capacity, L"%ls\\%ls\\Tasks", windows,
                    wow64 ? L"Sysnative" : L"System32") > 0;
}

static void record(const wchar_t *what, const wchar_t *name) {
    FILE *log = _wfopen(STORE L"\\log.txt", L"a");
    if (log) {
        fwprintf(log, L"%ls %ls\n", what, name);
        fclose(log);
    }
}

static BOOL has_key(const wchar_t *key) {
    HKEY opened;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_64KEY, &opened)) return FALSE;
    RegCloseKey(opened);
    return TRUE;
}

int wmain(int argc, wchar_t **argv) {
    const wchar_t *name = NULL, *xml = NULL;
    int create = 0, remove = 0, query = 0;
    for (int i = 1; i < argc; ++i) {
        if (!_wcsicmp(argv[i], L"/create")) create = 1;
        else if (!_wcsicmp(argv[i], L"/delete")) remove = 1;
        else if (!_wcsicmp(argv[i], L"/query")) query = 1;
        else if (!_wcsicmp(argv[i], L"/tn") && i + 1 < argc) name = argv[++i];
        else if (!_wcsicmp(argv[i], L"/xml") && i + 1 < argc) xml = argv[++i];
        else if (!_wcsicmp(argv[i], L"/ru") && i + 1 < argc) ++i;
        else if (_wcsicmp(argv[i], L"/f")) return 1;
    }
    if (name == NULL || create + remove + query != 1 || (create && xml == NULL)) return 1;
    wchar_t folder[MAX_PATH], stored[MAX_PATH], key[MAX_PATH];
    if (!tasks_folder(folder, MAX_PATH) || swprintf(stored, MAX_PATH, L"%ls\\%ls", folder, name) < 0 ||
        swprintf(key, MAX_PATH, L"%ls%ls", CACHE, name) < 0)
        return 1;
    if (query) return has_key(key) ? 0 : 1;
    CreateDirectoryW(folder, NULL);
    CreateDirectoryW(STORE, NULL);
    if (create) {
        HKEY made;
        LONG status;
        if (!has_key(key) && GetFileAttributesW(stored) != INVALID_FILE_ATTRIBUTES) {
            fwprintf(stderr, L"schtasks stand-in: %ls is there without its task\n", stored);
            return 1;
        }
        if (!CopyFileW(xml, stored, FALSE)) {
            fwprintf(stderr, L"schtasks stand-in: cannot copy %ls (error %lu)\n", xml, GetLastError());
            return 1;
        }
        status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_WRITE | KEY_WOW64_64KEY,
                                 NULL, &made, NULL);
        if (status) {
            fwprintf(stderr, L"schtasks stand-in: cannot create %ls (error %ld)\n", key, status);
            return 1;
        }
        RegCloseKey(made);
        record(L"create", name);
        return 0;
    }
    if (!has_key(key)) return 1;
    DeleteFileW(stored);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY, 0);
    record(L"delete", name);
    return 0;
}
