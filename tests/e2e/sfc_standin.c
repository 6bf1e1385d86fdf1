/* sfc.dll stand-in: Windows Resource Protection for the end-to-end tests. Wine's own
 * SfcIsFileProtected protects nothing; this one, placed in a test prefix's system directory
 * with a native override for sfc, says what Windows says on current systems: msxml6.dll and
 * msxml6r.dll in either system directory are Windows' own. The path is taken as given, without
 * WOW64 redirection, as Windows takes it.
 */
#include <windows.h>

static const wchar_t *const kProtected[] = {L"msxml6.dll", L"msxml6r.dll"};

/* Whether `path` is `directory` followed by a backslash and `name`, letter case aside. */
static BOOL IsIn(const wchar_t *path, const wchar_t *directory, const wchar_t *name) {
    const size_t length = lstrlenW(directory);
    if (length == 0 || CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, path, (int)length,
                                      directory, (int)length) != CSTR_EQUAL)
        return FALSE;
    return path[length] == L'\\' && lstrcmpiW(path + length + 1, name) == 0;
}

__declspec(dllexport) BOOL WINAPI SfcIsFileProtected(HANDLE rpc, LPCWSTR path) {
    wchar_t system32[MAX_PATH], syswow64[MAX_PATH];
    (void)rpc;
    if (path == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    /* A 32-bit process's GetSystemDirectoryW gives System32 even under WOW64. */
    if (GetSystemDirectoryW(system32, MAX_PATH) == 0) system32[0] = 0;
    if (GetSystemWow64DirectoryW(syswow64, MAX_PATH) == 0) syswow64[0] = 0;
    for (size_t i = 0; i < sizeof kProtected / sizeof *kProtected; ++i) {
        if (IsIn(path, system32, kProtected[i]) || IsIn(path, syswow64, kProtected[i])) return TRUE;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance; (void)reason; (void)reserved;
    return TRUE;
}
