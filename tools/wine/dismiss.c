/* dismiss.exe LOG STOP [HOLD] [/after:WATCHLOG]
 *
 * Watches for dialog windows (class #32770, as MessageBox creates them) until the file STOP
 * exists. For each new dialog, once visible, it appends one line to LOG:
 *     box<TAB>caption<TAB>text
 * (UTF-8; the text is the dialog's static text, with \r, \n, \t and \\ written as escapes),
 * then, when HOLD is given, waits until that file exists (at most 30 s; the caller takes a
 * screenshot meanwhile), and with /after: until the window watcher's WATCHLOG has a "shown"
 * line for that dialog (at most 120 s; the box stays up until the watcher has recorded it, so
 * that a loaded machine cannot make the watcher miss it), and presses the dialog's OK button.
 * When STOP appears it appends "count<TAB>N" (dialogs seen) and exits with N.
 * A 32-bit program, so that it runs in 32-bit and in WOW64 prefixes alike.
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#define MAX_SEEN 64
static HWND seen[MAX_SEEN];
static int nseen;
static const wchar_t *log_path, *hold_path, *watch_log;

static int exists(const wchar_t *path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

static void append_utf8(FILE *f, const wchar_t *s, int escape) {
    char buf[8];
    for (; *s; s++) {
        if (escape && (*s == L'\r' || *s == L'\n' || *s == L'\t' || *s == L'\\')) {
            fputs(*s == L'\r' ? "\\r" : *s == L'\n' ? "\\n" : *s == L'\t' ? "\\t" : "\\\\", f);
            continue;
        }
        int n = WideCharToMultiByte(CP_UTF8, 0, s, 1, buf, sizeof buf, NULL, NULL);
        fwrite(buf, 1, n, f);
    }
}

static void log_line(const wchar_t *kind, const wchar_t *a, const wchar_t *b) {
    FILE *f = _wfopen(log_path, L"ab");
    if (!f) return;
    append_utf8(f, kind, 0);
    if (a) { fputc('\t', f); append_utf8(f, a, 1); }
    if (b) { fputc('\t', f); append_utf8(f, b, 1); }
    fputc('\n', f);
    fclose(f);
}

/* Whether the watcher's log has a "shown" line whose last field is `h` in hexadecimal. */
static int watcher_saw(HWND h) {
    char want[32], line[4096];
    snprintf(want, sizeof want, "\t%lx\n", (unsigned long)(ULONG_PTR)h);
    FILE *f = _wfopen(watch_log, L"rb");
    if (!f) return 0;
    int found = 0;
    while (!found && fgets(line, sizeof line, f)) {
        size_t n = strlen(line), w = strlen(want);
        found = !strncmp(line, "shown\t", 6) && n >= w && !strcmp(line + n - w, want);
    }
    fclose(f);
    return found;
}

struct text { wchar_t buf[2048]; };

static BOOL CALLBACK child_cb(HWND h, LPARAM p) {
    struct text *t = (struct text *)p;
    wchar_t cls[64];
    if (t->buf[0] || !GetClassNameW(h, cls, 64) || _wcsicmp(cls, L"Static")) return TRUE;
    GetWindowTextW(h, t->buf, 2048);    /* the icon's static control has no text */
    return TRUE;
}

static BOOL CALLBACK top_cb(HWND h, LPARAM p) {
    (void)p;
    wchar_t cls[64], caption[512];
    if (!GetClassNameW(h, cls, 64) || wcscmp(cls, L"#32770")) return TRUE;
    /* A dialog is shown once its initialisation has set caption and text; read it only then. */
    if (!IsWindowVisible(h)) return TRUE;
    for (int i = 0; i < nseen; i++) if (seen[i] == h) return TRUE;
    if (nseen < MAX_SEEN) seen[nseen++] = h;
    caption[0] = 0;
    GetWindowTextW(h, caption, 512);
    struct text t;
    t.buf[0] = 0;
    GetDlgItemTextW(h, 0xFFFF, t.buf, 2048);   /* MessageBox's text control */
    if (!t.buf[0]) EnumChildWindows(h, child_cb, (LPARAM)&t);
    log_line(L"box", caption, t.buf);
    if (hold_path)
        for (int i = 0; i < 300 && !exists(hold_path); i++) Sleep(100);
    if (watch_log) {
        int i = 0;
        for (; i < 2400 && !watcher_saw(h); i++) Sleep(50);
        if (i == 2400) log_line(L"unseen", caption, NULL);
    }
    PostMessageW(h, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    PostMessageW(h, WM_CLOSE, 0, 0);
    return TRUE;
}

int wmain(int argc, wchar_t **argv) {
    if (argc < 3) { fwprintf(stderr, L"usage: dismiss LOG STOP [HOLD] [/after:WATCHLOG]\n"); return 255; }
    log_path = argv[1];
    for (int i = 3; i < argc; i++) {
        if (!wcsncmp(argv[i], L"/after:", 7)) watch_log = argv[i] + 7;
        else hold_path = argv[i];
    }
    /* at most one hour, so that a forgotten dismisser cannot keep a test waiting forever */
    for (int i = 0; i < 36000 && !exists(argv[2]); i++) {
        EnumWindows(top_cb, 0);
        Sleep(100);
    }
    EnumWindows(top_cb, 0);
    wchar_t n[16];
    swprintf(n, 16, L"%d", nseen);
    log_line(L"count", n, NULL);
    return nseen;
}
