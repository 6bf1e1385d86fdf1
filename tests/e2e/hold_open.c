/* hold_open.exe FILE READY STOP [SHARE]
 * Opens FILE for reading and writing without sharing, creates the file READY, and keeps FILE
 * open until the file STOP exists (at most 10 minutes). Exit code 0, 2 when FILE could not be
 * opened, 3 when STOP never appeared or its directory could not be watched. Stands for another
 * program that has a component file open while the installer runs.
 * SHARE (letters r, w, d) opens it with FILE_SHARE_READ, _WRITE, _DELETE instead; "load" loads
 * it as a DLL instead (its image mapped, no handle open), as a program using a component does.
 * It wakes on a change notification of STOP's directory (WaitForFile), so that a holder told
 * to let go when another program creates STOP (the installer's temporary file, say) does so as
 * soon as it is scheduled, which keeps that scenario independent of a loaded machine's delays.
 */
#include "wait_for_file.h"

int wmain(int argc, wchar_t **argv) {
    if (argc != 4 && argc != 5) return 255;
    const BOOL load = argc == 5 && !wcscmp(argv[4], L"load");
    DWORD share = 0;
    if (argc == 5 && !load) {
        if (wcschr(argv[4], L'r')) share |= FILE_SHARE_READ;
        if (wcschr(argv[4], L'w')) share |= FILE_SHARE_WRITE;
        if (wcschr(argv[4], L'd')) share |= FILE_SHARE_DELETE;
    }
    HMODULE module = NULL;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (load) module = LoadLibraryW(argv[1]);
    else h = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, share, NULL, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, NULL);
    if (module == NULL && h == INVALID_HANDLE_VALUE) return 2;
    HANDLE r = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (r != INVALID_HANDLE_VALUE) CloseHandle(r);
    const BOOL stopped = WaitForFile(argv[3], 600000);
    if (module != NULL) FreeLibrary(module);
    else CloseHandle(h);
    return stopped ? 0 : 3;
}
