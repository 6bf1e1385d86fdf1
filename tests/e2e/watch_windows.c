/* watch_windows.exe LOG STOP [/all]   (GUI subsystem, makes no window)
 * Records every top-level window of another process that becomes visible, until the file STOP
 * exists (at most one hour): one line per window, appended to LOG (UTF-8, tab-separated),
 *     shown <ms> <hook|poll> <pid> <exe> <class> <title> <x,y,w,h> <show command>
 * where ms counts from the watcher's start and the show command is GetWindowPlacement's
 * (1 normal, 2 minimised, 3 maximised). Two sources, so that a window shown only briefly is
 * not missed: an out-of-context EVENT_OBJECT_SHOW hook, and EnumWindows every 20 ms.
 * With /all, top-level windows that exist but are not visible are recorded too, once, as
 *     hidden <ms> poll <pid> <exe> <class> <title> <x,y,w,h> <show command>
 * (windows Wine itself keeps, for example). When STOP appears it appends "count<TAB>N", N the
 * windows seen visible, and exits with N (at most 250). Its own process is never recorded.
 * First line of LOG: "watching<TAB>pid" once the hook is set (callers wait for it).
 */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#define MAX_SEEN 512
static struct { HWND hwnd; int shown; } seen[MAX_SEEN];
static int nseen, nshown;
static const wchar_t *log_path;
static DWORD self_pid, t0;

static void put_utf8(FILE *f, const wchar_t *s) {
    char buf[8];
    for (; *s; s++) {
        if (*s == L'\t' || *s == L'\r' || *s == L'\n') { fputc(' ', f); continue; }
        int n = WideCharToMultiByte(CP_UTF8, 0, s, 1, buf, sizeof buf, NULL, NULL);
        fwrite(buf, 1, n, f);
    }
}

static void exe_of(DWORD pid, wchar_t *out, DWORD size) {
    wcscpy(out, L"?");
    HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!p) return;
    wchar_t path[MAX_PATH];
    DWORD n = MAX_PATH;
    if (QueryFullProcessImageNameW(p, 0, path, &n)) {
        const wchar_t *base = wcsrchr(path, L'\\');
        wcsncpy(out, base ? base + 1 : path, size - 1);
        out[size - 1] = 0;
    }
    CloseHandle(p);
}

static void record(const char *what, const char *via, HWND h) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    wchar_t exe[MAX_PATH], cls[256] = L"", title[512] = L"";
    exe_of(pid, exe, MAX_PATH);
    GetClassNameW(h, cls, 256);
    GetWindowTextW(h, title, 512);
    RECT r = {0};
    GetWindowRect(h, &r);
    WINDOWPLACEMENT wp;
    ZeroMemory(&wp, sizeof wp);
    wp.length = sizeof wp;
    GetWindowPlacement(h, &wp);
    FILE *f = _wfopen(log_path, L"ab");
    if (!f) return;
    fprintf(f, "%s\t%lu\t%s\t%lu\t", what, (unsigned long)(GetTickCount() - t0), via, (unsigned long)pid);
    put_utf8(f, exe); fputc('\t', f);
    put_utf8(f, cls); fputc('\t', f);
    put_utf8(f, title);
    fprintf(f, "\t%ld,%ld,%ld,%ld\t%u\n", r.left, r.top, r.right - r.left, r.bottom - r.top, wp.showCmd);
    fclose(f);
}

/* Looks at one top-level window: records it when it is visible for the first time (or, with
 * /all, when it is first seen hidden). */
static int log_all;
static void consider(HWND h, const char *via) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (pid == self_pid) return;
    int i = 0;
    while (i < nseen && seen[i].hwnd != h) i++;
    int visible = IsWindowVisible(h);
    if (i == nseen) {
        if (nseen == MAX_SEEN) return;
        seen[nseen].hwnd = h;
        seen[nseen].shown = 0;
        nseen++;
        if (!visible && log_all) record("hidden", via, h);
    }
    if (visible && !seen[i].shown) {
        seen[i].shown = 1;
        nshown++;
        record("shown", via, h);
    }
}

static BOOL CALLBACK enum_cb(HWND h, LPARAM p) { (void)p; consider(h, "poll"); return TRUE; }

static void CALLBACK show_hook(HWINEVENTHOOK hook, DWORD event, HWND h, LONG object, LONG child,
                               DWORD thread, DWORD time) {
    (void)hook; (void)event; (void)child; (void)thread; (void)time;
    if (object != OBJID_WINDOW || !h || GetAncestor(h, GA_PARENT) != GetDesktopWindow()) return;
    consider(h, "hook");
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
    (void)instance; (void)previous; (void)command_line; (void)show;
    int argc;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3) return 255;
    log_path = argv[1];
    log_all = argc > 3 && !_wcsicmp(argv[3], L"/all");
    self_pid = GetCurrentProcessId();
    t0 = GetTickCount();
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_SHOW, EVENT_OBJECT_SHOW, NULL, show_hook, 0, 0,
                                         WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
    FILE *f = _wfopen(log_path, L"ab");
    if (f) { fprintf(f, "watching\t%lu\t%s\n", (unsigned long)self_pid, hook ? "hook" : "no-hook"); fclose(f); }
    EnumWindows(enum_cb, 0);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 3600000;) {
        if (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) break;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
        MSG m;
        while (PeekMessageW(&m, NULL, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
        EnumWindows(enum_cb, 0);
    }
    if (hook) UnhookWinEvent(hook);
    f = _wfopen(log_path, L"ab");
    if (f) { fprintf(f, "count\t%d\n", nshown); fclose(f); }
    return nshown > 250 ? 250 : nshown;
}
