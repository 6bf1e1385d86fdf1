/* com_client.exe VARIANT NAME={CLSID} [NAME={CLSID} ...]
 *
 * A 32-bit COM client of the registered sample classes: for each class given (the build lists
 * every creatable class of every server in the payload record) it creates the class through
 * CoCreateInstance (in-process server, looked up in the registry as any client would), asks for
 * IVannixSample and calls Describe, which must answer "<NAME> <VARIANT>" (VARIANT: 32 or 64, the
 * payload variant the installer should have picked). Prints one line per class:
 *     <NAME> ok|FAIL hr=0x........ describe="..." module="..."
 * and exits with 0 only when all of them work.
 */
#include <windows.h>
#include <objbase.h>
#include <psapi.h>
#include <stdio.h>
#include <wchar.h>
#include "sample_com.h"

int wmain(int argc, wchar_t **argv) {
    if (argc < 3) { fwprintf(stderr, L"usage: com_client 32|64 NAME={CLSID}...\n"); return 255; }
    HRESULT hr = CoInitialize(NULL);
    if (FAILED(hr)) { printf("CoInitialize failed hr=0x%08lx\n", (unsigned long)hr); return 254; }
    int failures = 0;
    for (int i = 2; i < argc; i++) {
        wchar_t name[128] = L"", *equals = wcschr(argv[i], L'=');
        CLSID clsid;
        if (!equals || equals - argv[i] >= 128 || FAILED(CLSIDFromString(equals + 1, &clsid))) {
            fwprintf(stderr, L"com_client: not NAME={CLSID}: %ls\n", argv[i]);
            return 255;
        }
        wcsncpy(name, argv[i], equals - argv[i]);
        IVannixSample *obj = NULL;
        wchar_t desc[256] = L"", expected[256], module[MAX_PATH] = L"";
        swprintf(expected, 256, L"%ls %ls", name, argv[1]);
        hr = CoCreateInstance(&clsid, NULL, CLSCTX_INPROC_SERVER, &IID_IVannixSample, (void **)&obj);
        if (SUCCEEDED(hr) && obj) {
            hr = obj->lpVtbl->Describe(obj, desc, 256);
            /* the module that serves the object: the one holding its method table */
            HMODULE m = NULL;
            if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                   GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   (LPCWSTR)obj->lpVtbl->Describe, &m))
                GetModuleFileNameW(m, module, MAX_PATH);
            obj->lpVtbl->Release(obj);
        }
        int ok = SUCCEEDED(hr) && wcscmp(desc, expected) == 0;
        if (!ok) failures++;
        printf("%ls %s hr=0x%08lx describe=\"%ls\" module=\"%ls\"\n", name, ok ? "ok" : "FAIL",
               (unsigned long)hr, desc, module);
    }
    CoUninitialize();
    fflush(stdout);
    return failures ? 1 : 0;
}
