/* fileop.exe OP ARGS...   one file operation, as the installer makes it, and its outcome.
 *   create-always PATH     CreateFileW(GENERIC_READ|GENERIC_WRITE, share 0, CREATE_ALWAYS),
 *                          writes "fileop\r\n", closes
 *   open-noshare PATH      CreateFileW(GENERIC_READ|GENERIC_WRITE, share 0, OPEN_EXISTING)
 *   open-delete PATH       CreateFileW(DELETE, share read|write|delete, OPEN_EXISTING): whether
 *                          the file may be deleted or replaced at all, whoever has it open
 *   open-write PATH        CreateFileW(FILE_WRITE_DATA, share read|write|delete, OPEN_EXISTING):
 *                          whether it may be written, whoever has it open (not a mapped image)
 *   move-replace SRC DST   MoveFileExW(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
 *   move-at-restart SRC DST   MoveFileExW(MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)
 *   delete PATH            DeleteFileW
 *   set-attr PATH readonly|normal    SetFileAttributesW(FILE_ATTRIBUTE_READONLY or _NORMAL)
 *   get-attr PATH          GetFileAttributesW (prints the attributes in hex)
 * Several operations may follow one another on one command line ("delete A delete B"); each
 * prints one line "OP ok" or "OP error N" (N = GetLastError) and the run goes on. Exit code:
 * the error of the last operation that failed, cut to 255 (0 when all succeeded); read the
 * lines for the exact code.
 */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static DWORD outcome(const wchar_t *op, BOOL ok) {
    DWORD err = ok ? 0 : GetLastError();
    if (ok) wprintf(L"%ls ok\n", op);
    else wprintf(L"%ls error %lu\n", op, (unsigned long)err);
    fflush(stdout);
    return err;
}

static DWORD create_or_open(const wchar_t *op, const wchar_t *path, DWORD disposition) {
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, disposition,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD err = outcome(op, h != INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD n;
        if (disposition == CREATE_ALWAYS) WriteFile(h, "fileop\r\n", 8, &n, NULL);
        CloseHandle(h);
    }
    return err;
}

int wmain(int argc, wchar_t **argv) {
    DWORD last = 0;
    int i = 1;
    while (i < argc) {
        const wchar_t *op = argv[i];
        int need = !wcscmp(op, L"move-replace") || !wcscmp(op, L"move-at-restart") ||
                   !wcscmp(op, L"set-attr") ? 2 : 1;
        if (i + need >= argc) { wprintf(L"%ls: missing argument\n", op); return 255; }
        const wchar_t *a = argv[i + 1], *b = need > 1 ? argv[i + 2] : NULL;
        DWORD err;
        if (!wcscmp(op, L"create-always")) err = create_or_open(op, a, CREATE_ALWAYS);
        else if (!wcscmp(op, L"open-noshare")) err = create_or_open(op, a, OPEN_EXISTING);
        else if (!wcscmp(op, L"open-delete") || !wcscmp(op, L"open-write")) {
            HANDLE h = CreateFileW(a, !wcscmp(op, L"open-delete") ? DELETE : FILE_WRITE_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   NULL, OPEN_EXISTING, 0, NULL);
            err = outcome(op, h != INVALID_HANDLE_VALUE);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        } else if (!wcscmp(op, L"move-replace"))
            err = outcome(op, MoveFileExW(a, b, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
        else if (!wcscmp(op, L"move-at-restart"))
            err = outcome(op, MoveFileExW(a, b, MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
        else if (!wcscmp(op, L"delete")) err = outcome(op, DeleteFileW(a));
        else if (!wcscmp(op, L"set-attr"))
            err = outcome(op, SetFileAttributesW(a, !wcscmp(b, L"readonly") ? FILE_ATTRIBUTE_READONLY
                                                                            : FILE_ATTRIBUTE_NORMAL));
        else if (!wcscmp(op, L"get-attr")) {
            DWORD attr = GetFileAttributesW(a);
            if (attr == INVALID_FILE_ATTRIBUTES) err = outcome(op, FALSE);
            else { wprintf(L"%ls 0x%lX\n", op, (unsigned long)attr); fflush(stdout); err = 0; }
        } else { wprintf(L"unknown operation %ls\n", op); return 255; }
        if (err) last = err;
        i += need + 1;
    }
    return last > 255 ? 255 : (int)last;
}
