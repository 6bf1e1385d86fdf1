/* com_client.exe VARIANT
 *
 * A 32-bit COM client of the six registered components: for each it creates the class through
 * CoCreateInstance (in-process server, looked up in the registry as any client would), asks for
 * IVannixSample and calls Describe, which must answer "<BaseName> <VARIANT>" (VARIANT: 32 or 64,
 * the payload variant the installer should have picked). Prints one line per class:
 *     <BaseName> ok|FAIL hr=0x........ describe="..." module="..."
 * and exits with 0 only when all six work.
 */
#include <windows.h>
#include <objbase.h>
#include <psapi.h>
#include <stdio.h>
#include <wchar.h>
#include "sample_com.h"

struct sample { const wchar_t *base; const CLSID *clsid; };
static const struct sample samples[] = {
    {L"KorviX", &CLSID_VannixSample_KorviX},
    {L"KorviDataSetX", &CLSID_VannixSample_KorviDataSetX},
    {L"msxml6", &CLSID_VannixSample_msxml6},
    {L"KorviGovX", &CLSID_VannixSample_KorviGovX},
    {L"midas", &CLSID_VannixSample_midas},
    {L"stdvcl40", &CLSID_VannixSample_stdvcl40},
};

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) { fwprintf(stderr, L"usage: com_client 32|64\n"); return 255; }
    HRESULT hr = CoInitialize(NULL);
    if (FAILED(hr)) { printf("CoInitialize failed hr=0x%08lx\n", (unsigned long)hr); return 254; }
    int failures = 0;
    for (size_t i = 0; i < sizeof samples / sizeof samples[0]; i++) {
        IVannixSample *obj = NULL;
        wchar_t desc[256] = L"", expected[256], module[MAX_PATH] = L"";
        swprintf(expected, 256, L"%ls %ls", samples[i].base, argv[1]);
        hr = CoCreateInstance(samples[i].clsid, NULL, CLSCTX_INPROC_SERVER, &IID_IVannixSample,
                              (void **)&obj);
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
        printf("%ls %s hr=0x%08lx describe=\"%ls\" module=\"%ls\"\n", samples[i].base,
               ok ? "ok" : "FAIL", (unsigned long)hr, desc, module);
    }
    CoUninitialize();
    fflush(stdout);
    return failures ? 1 : 0;
}
