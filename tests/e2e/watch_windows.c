/* watch_windows.exe LOG STOP [/all]   (GUI subsystem, makes no window)
 * Records the top-level windows of other processes until the file STOP exists (at most one
 * hour): one line per observation, appended to LOG (UTF-8, tab-separated),
 *     <what> <ms> <hook|poll> <pid> <exe> <class> <title> <x,y,w,h> <show command> <hwnd>
 * where ms counts from the watcher's start, the show command is GetWindowPlacement's (1 normal,
 * 2 minimised, 3 maximised) and hwnd is hexadecimal. <what> is
 *     created  a window made after the hook was set (once per window, before it is shown);
 *     shown    a window seen visible, or reported shown, for the first time;
 *     lost     a window created or shown whose handle was gone when the event was handled: pid
 *              and exe come from the thread that raised the event, class and title are empty;
 *     hidden   with /all, a window that existed invisible when first met by the poll (windows
 *              Wine itself keeps, for example).
 * Two sources, an out-of-context hook on EVENT_OBJECT_CREATE and EVENT_OBJECT_SHOW, and
 * EnumWindows every 20 ms; whichever sees a window first records it, so neither the poll's
 * period nor a hook event that arrives late can hide a window: a window that was shown counts
 * as shown when it was hidden again before the watcher could look at it, and one destroyed by
 * then still leaves a "lost" line naming its process. A dismisser that waits for the "shown"
 * line of a box before closing it (dismiss.exe /after:LOG) makes the observation of that box
 * independent of timing.
 * When STOP appears it handles the events still queued, appends "count<TAB>N", N the "shown"
 * lines, and exits with N (at most 250). Its own process is never recorded. First line of LOG:
 * "watching<TAB>pid<TAB>hook" once the hook is set.
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

/* `pid` is the window's process; class, title and placement are read while the window exists. */
static void record(const char *what, const char *via, HWND h, DWORD pid) {
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
    fprintf(f, "\t%ld,%ld,%ld,%ld\t%u\t%lx\n", r.left, r.top, r.right - r.left, r.bottom - r.top,
            wp.showCmd, (unsigned long)(ULONG_PTR)h);
    fclose(f);
}

/* Looks at one top-level window of another process. `event` is the hook's event, 0 for the
 * poll: a window the hook reports shown counts as shown even if it is no longer visible. */
static int log_all;
static void consider(HWND h, const char *via, DWORD pid, DWORD event) {
    if (pid == self_pid) return;
    int i = 0;
    while (i < nseen && seen[i].hwnd != h) i++;
    int shown = event == EVENT_OBJECT_SHOW || IsWindowVisible(h);
    if (i == nseen) {
        if (nseen == MAX_SEEN) return;
        seen[nseen].hwnd = h;
        seen[nseen].shown = 0;
        nseen++;
        if (event == EVENT_OBJECT_CREATE) record("created", via, h, pid);
        else if (!shown && log_all) record("hidden", via, h, pid);
    }
    if (shown && !seen[i].shown) {
        seen[i].shown = 1;
        nshown++;
        record("shown", via, h, pid);
    }
}

static BOOL CALLBACK enum_cb(HWND h, LPARAM p) {
    (void)p;
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    consider(h, "poll", pid, 0);
    return TRUE;
}

static DWORD process_of_thread(DWORD thread) {
    HANDLE t = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, thread);
    if (!t) return 0;
    DWORD pid = GetProcessIdOfThread(t);
    CloseHandle(t);
    return pid;
}

static void CALLBACK window_hook(HWINEVENTHOOK hook, DWORD event, HWND h, LONG object, LONG child,
                                 DWORD thread, DWORD time) {
    (void)hook; (void)child; (void)time;
    if ((event != EVENT_OBJECT_CREATE && event != EVENT_OBJECT_SHOW) || object != OBJID_WINDOW || !h)
        return;
    DWORD pid = 0;
    if (IsWindow(h) && GetWindowThreadProcessId(h, &pid)) {
        if (GetAncestor(h, GA_PARENT) == GetDesktopWindow()) consider(h, "hook", pid, event);
        return;
    }
    /* Gone before this event was handled: whether it was top-level can no longer be told, so
     * it is recorded apart, once per handle, and a show of it counts. */
    pid = process_of_thread(thread);
    if (pid == self_pid) return;
    for (int i = 0; i < nseen; i++) if (seen[i].hwnd == h) return;
    if (nseen == MAX_SEEN) return;
    seen[nseen].hwnd = h;
    seen[nseen].shown = 1;
    nseen++;
    record("lost", "hook", h, pid);
}

static void pump(void) {
    MSG m;
    while (PeekMessageW(&m, NULL, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
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
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_SHOW, NULL, window_hook, 0, 0,
                                         WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
    FILE *f = _wfopen(log_path, L"ab");
    if (f) { fprintf(f, "watching\t%lu\t%s\n", (unsigned long)self_pid, hook ? "hook" : "no-hook"); fclose(f); }
    EnumWindows(enum_cb, 0);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 3600000;) {
        if (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) break;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
        pump();
        EnumWindows(enum_cb, 0);
    }
    /* Events raised before STOP appeared may still be queued. */
    pump();
    EnumWindows(enum_cb, 0);
    if (hook) UnhookWinEvent(hook);
    f = _wfopen(log_path, L"ab");
    if (f) { fprintf(f, "count\t%d\n", nshown); fclose(f); }
    return nshown > 250 ? 250 : nshown;
}
