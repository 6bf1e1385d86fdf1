/* wait_for_file.h - the end-to-end helper programs' one way to wait for a file another program
 * makes: woken by a change notification of its directory, never on a period, so that the wait
 * ends as soon as the file is there however loaded the machine is.
 */
#pragma once
#include <windows.h>
#include <wchar.h>

/* TRUE once PATH exists; FALSE when TIMEOUT_MS passed first or its directory cannot be watched
 * (the caller then fails visibly instead of waiting on a clock). */
static BOOL WaitForFile(const wchar_t *path, DWORD timeout_ms) {
    wchar_t dir[MAX_PATH];
    wcsncpy(dir, path, MAX_PATH - 1);
    dir[MAX_PATH - 1] = 0;
    wchar_t *slash = wcsrchr(dir, L'\\');
    if (slash) *slash = 0;
    else wcscpy(dir, L".");
    /* Armed before each look: a file made between the look and the wait still wakes it. */
    HANDLE change = FindFirstChangeNotificationW(dir, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    const DWORD start = GetTickCount();
    BOOL found;
    while (!(found = GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) &&
           change != INVALID_HANDLE_VALUE) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeout_ms || WaitForSingleObject(change, timeout_ms - spent) != WAIT_OBJECT_0)
            break;
        FindNextChangeNotification(change);
    }
    if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
    return found;
}
