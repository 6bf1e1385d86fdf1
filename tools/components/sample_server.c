/* Sample COM in-process server standing in for one registered component file.
 * Built without the C runtime, so it leans on kernel32/advapi32 only.
 *   SAMPLE_BASE          catalogue BaseName, e.g. KorviX
 *   sample_classes.h     its creatable classes (SAMPLE_CLASSES, written from its IDL by
 *                        sample_classes.py), on the include path
 *   SAMPLE_BUILD         set for files whose two payload variants must differ ("32"/"64")
 *   SAMPLE_DLLINSTALL    also export DllInstall
 */
#include "sample_com.h"
#include "sample_classes.h"

/* The class object's interfaces, as the Windows SDK lays them out. Declared here because
 * <unknwn.h> and <olectl.h> would triple the compile time of each of the eight server builds. */
typedef struct IUnknown IUnknown;
typedef struct IClassFactory IClassFactory;
typedef struct IClassFactoryVtbl {
    HRESULT (STDMETHODCALLTYPE *QueryInterface)(IClassFactory *self, REFIID riid, void **out);
    ULONG (STDMETHODCALLTYPE *AddRef)(IClassFactory *self);
    ULONG (STDMETHODCALLTYPE *Release)(IClassFactory *self);
    HRESULT (STDMETHODCALLTYPE *CreateInstance)(IClassFactory *self, IUnknown *outer, REFIID riid,
                                                void **out);
    HRESULT (STDMETHODCALLTYPE *LockServer)(IClassFactory *self, BOOL lock);
} IClassFactoryVtbl;
struct IClassFactory {
    IClassFactoryVtbl *lpVtbl;
};
extern const IID IID_IUnknown; /* both from libuuid */
extern const IID IID_IClassFactory;
#define SELFREG_E_CLASS ((HRESULT)0x80040201L)

#define WIDEN2(x) L##x
#define WIDEN(x) WIDEN2(x)
#define STR2(x) #x
#define STR(x) STR2(x)

#define BASE_NAME WIDEN(STR(SAMPLE_BASE))

typedef struct SampleClass {
    const WCHAR *name;
    const WCHAR *clsid_text;
    GUID clsid;
} SampleClass;

#define SAMPLE_CLASS(name, text, l, w1, w2, b0, b1, b2, b3, b4, b5, b6, b7) \
    {name, text, {l, w1, w2, {b0, b1, b2, b3, b4, b5, b6, b7}}},
static const SampleClass classes[] = {SAMPLE_CLASSES};
#define CLASS_COUNT (sizeof classes / sizeof classes[0])

#ifdef SAMPLE_BUILD
/* Gives each variant's file its own bytes. */
__attribute__((used)) static const char build_marker[] = "vannix sample build " SAMPLE_BUILD;
#endif

#define PATH_CAPACITY 1024

static HINSTANCE module_instance;
static volatile LONG live_count; /* objects plus server locks */

/* ---- small helpers (no C runtime) ---- */

static UINT wide_length(const WCHAR *s)
{
    UINT n = 0;
    while (s[n])
        ++n;
    return n;
}

/* Appends src at dst[*used]; false when it would not fit with its terminator. */
static BOOL append(WCHAR *dst, UINT capacity, UINT *used, const WCHAR *src)
{
    UINT n = wide_length(src);
    if (*used + n + 1 > capacity)
        return FALSE;
    for (UINT i = 0; i < n; ++i)
        dst[*used + i] = src[i];
    *used += n;
    dst[*used] = 0;
    return TRUE;
}

static BOOL same_guid(REFGUID a, REFGUID b)
{
    const BYTE *x = (const BYTE *)a, *y = (const BYTE *)b;
    for (int i = 0; i < (int)sizeof(GUID); ++i)
        if (x[i] != y[i])
            return FALSE;
    return TRUE;
}

/* Payload variant that fits the running system: the 64-bit one runs under WOW64. Twins are
 * byte-identical, so this cannot be a build setting. */
static const WCHAR *variant(void)
{
    typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
    IsWow64ProcessFn is_wow64 = (IsWow64ProcessFn)(void (*)(void))GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "IsWow64Process");
    BOOL wow64 = FALSE;
    if (is_wow64 && !is_wow64(GetCurrentProcess(), &wow64))
        wow64 = FALSE;
    return wow64 ? L"64" : L"32";
}

/* ---- the object ---- */

typedef struct Sample {
    IVannixSample iface;
    LONG refs;
    const SampleClass *cls;
} Sample;

static HRESULT STDMETHODCALLTYPE sample_query(IVannixSample *self, REFIID riid, void **out)
{
    if (!out)
        return E_POINTER;
    if (same_guid(riid, &IID_IUnknown) || same_guid(riid, &IID_IVannixSample)) {
        *out = self;
        self->lpVtbl->AddRef(self);
        return S_OK;
    }
    *out = NULL;
    return E_NOINTERFACE;
}

static ULONG STDMETHODCALLTYPE sample_add_ref(IVannixSample *self)
{
    return (ULONG)InterlockedIncrement(&((Sample *)self)->refs);
}

static ULONG STDMETHODCALLTYPE sample_release(IVannixSample *self)
{
    LONG refs = InterlockedDecrement(&((Sample *)self)->refs);
    if (refs == 0) {
        HeapFree(GetProcessHeap(), 0, self);
        InterlockedDecrement(&live_count);
    }
    return (ULONG)refs;
}

/* capacity counts WCHARs including the terminator. */
static HRESULT STDMETHODCALLTYPE sample_describe(IVannixSample *self, LPWSTR buffer, UINT capacity)
{
    UINT used = 0;
    if (!buffer)
        return E_POINTER;
    if (capacity)
        buffer[0] = 0;
    if (!append(buffer, capacity, &used, ((Sample *)self)->cls->name) ||
        !append(buffer, capacity, &used, L" ") ||
        !append(buffer, capacity, &used, variant()))
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    return S_OK;
}

static const IVannixSampleVtbl sample_vtbl = {sample_query, sample_add_ref, sample_release,
                                              sample_describe};

/* ---- the class objects (static, one per class, live as long as the module) ---- */

typedef struct Factory {
    IClassFactory iface;
    const SampleClass *cls;
} Factory;

static HRESULT STDMETHODCALLTYPE factory_query(IClassFactory *self, REFIID riid, void **out)
{
    if (!out)
        return E_POINTER;
    if (same_guid(riid, &IID_IUnknown) || same_guid(riid, &IID_IClassFactory)) {
        *out = self;
        return S_OK;
    }
    *out = NULL;
    return E_NOINTERFACE;
}

static ULONG STDMETHODCALLTYPE factory_add_ref(IClassFactory *self)
{
    (void)self;
    return 2;
}

static ULONG STDMETHODCALLTYPE factory_release(IClassFactory *self)
{
    (void)self;
    return 1;
}

static HRESULT STDMETHODCALLTYPE factory_create(IClassFactory *self, IUnknown *outer, REFIID riid,
                                                void **out)
{
    if (!out)
        return E_POINTER;
    *out = NULL;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    Sample *sample = HeapAlloc(GetProcessHeap(), 0, sizeof *sample);
    if (!sample)
        return E_OUTOFMEMORY;
    sample->iface.lpVtbl = &sample_vtbl;
    sample->refs = 1;
    sample->cls = ((Factory *)self)->cls;
    InterlockedIncrement(&live_count);
    HRESULT hr = sample_query(&sample->iface, riid, out);
    sample_release(&sample->iface);
    return hr;
}

static HRESULT STDMETHODCALLTYPE factory_lock(IClassFactory *self, BOOL lock)
{
    (void)self;
    if (lock)
        InterlockedIncrement(&live_count);
    else
        InterlockedDecrement(&live_count);
    return S_OK;
}

static IClassFactoryVtbl factory_vtbl = {factory_query, factory_add_ref, factory_release,
                                         factory_create, factory_lock};
static Factory factories[CLASS_COUNT];

/* ---- registration ---- */

static LONG set_string(HKEY root, const WCHAR *subkey, const WCHAR *name, const WCHAR *value,
                       REGSAM view)
{
    HKEY key;
    LONG rc = RegCreateKeyExW(root, subkey, 0, NULL, 0, KEY_SET_VALUE | view, NULL, &key, NULL);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)value,
                        (wide_length(value) + 1) * sizeof(WCHAR));
    RegCloseKey(key);
    return rc;
}

static LONG set_dword(HKEY key, const WCHAR *name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
}

/* Leaves what this registration saw under HKLM\Software\VannixSamples (32-bit view). */
static LONG record_trace(const WCHAR *module_path)
{
    static const WCHAR *const files[] = {VANNIX_SAMPLE_CATALOGUE_FILES};
    const REGSAM view = KEY_WOW64_32KEY;
    HKEY root, own;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, VANNIX_SAMPLE_TRACE_KEY, 0, NULL, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE | view, NULL, &root, NULL);
    if (rc != ERROR_SUCCESS)
        return rc;
    DWORD counter = 0, type = 0, size = sizeof counter;
    if (RegQueryValueExW(root, L"Counter", NULL, &type, (BYTE *)&counter, &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        counter = 0;
    ++counter;
    rc = set_dword(root, L"Counter", counter);
    if (rc == ERROR_SUCCESS)
        rc = RegCreateKeyExW(root, BASE_NAME, 0, NULL, 0, KEY_SET_VALUE | view, NULL, &own, NULL);
    RegCloseKey(root);
    if (rc != ERROR_SUCCESS)
        return rc;

    /* Directory part of the module path, then each catalogue file that exists there. */
    WCHAR probe[PATH_CAPACITY], seen[PATH_CAPACITY];
    UINT dir_length = 0, seen_length = 0;
    for (UINT i = 0; module_path[i]; ++i)
        if (module_path[i] == L'\\' || module_path[i] == L'/')
            dir_length = i + 1;
    seen[0] = 0;
    for (UINT f = 0; f < sizeof files / sizeof files[0]; ++f) {
        UINT used = 0;
        probe[0] = 0;
        for (; used < dir_length && used + 1 < PATH_CAPACITY; ++used)
            probe[used] = module_path[used];
        probe[used] = 0;
        if (!append(probe, PATH_CAPACITY, &used, files[f]))
            continue;
        DWORD attributes = GetFileAttributesW(probe);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        if (seen_length)
            append(seen, PATH_CAPACITY, &seen_length, L" ");
        append(seen, PATH_CAPACITY, &seen_length, files[f]);
    }

    rc = set_dword(own, L"Sequence", counter);
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(own, L"SeenFiles", 0, REG_SZ, (const BYTE *)seen,
                            (seen_length + 1) * sizeof(WCHAR));
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(own, L"Path", 0, REG_SZ, (const BYTE *)module_path,
                            (wide_length(module_path) + 1) * sizeof(WCHAR));
    RegCloseKey(own);
    return rc;
}

#define KEY_CAPACITY 128

/* dst = a, b and c joined (KEY_CAPACITY WCHARs); false when they would not fit. */
static BOOL join(WCHAR *dst, const WCHAR *a, const WCHAR *b, const WCHAR *c)
{
    UINT used = 0;
    dst[0] = 0;
    return append(dst, KEY_CAPACITY, &used, a) && append(dst, KEY_CAPACITY, &used, b) &&
           append(dst, KEY_CAPACITY, &used, c);
}

static LONG register_class(const SampleClass *cls, const WCHAR *path)
{
    WCHAR key[KEY_CAPACITY], server[KEY_CAPACITY], progid_key[KEY_CAPACITY], progid[KEY_CAPACITY],
        label[KEY_CAPACITY];
    if (!join(key, L"CLSID\\", cls->clsid_text, L"") ||
        !join(server, key, L"\\InprocServer32", L"") ||
        !join(progid_key, key, L"\\ProgID", L"") ||
        !join(progid, VANNIX_SAMPLE_PROGID_PREFIX, cls->name, L"") ||
        !join(label, cls->name, L" sample", L""))
        return ERROR_INSUFFICIENT_BUFFER;
    LONG rc = set_string(HKEY_CLASSES_ROOT, key, NULL, label, 0);
    if (rc == ERROR_SUCCESS)
        rc = set_string(HKEY_CLASSES_ROOT, server, NULL, path, 0);
    if (rc == ERROR_SUCCESS)
        rc = set_string(HKEY_CLASSES_ROOT, server, L"ThreadingModel", L"Apartment", 0);
    if (rc == ERROR_SUCCESS)
        rc = set_string(HKEY_CLASSES_ROOT, progid_key, NULL, progid, 0);
    if (rc == ERROR_SUCCESS && join(key, progid, L"\\CLSID", L""))
        rc = set_string(HKEY_CLASSES_ROOT, key, NULL, cls->clsid_text, 0);
    return rc;
}

/* Children before parents; keys that are already gone are no failure. */
static HRESULT unregister_class(const SampleClass *cls)
{
    WCHAR keys[5][KEY_CAPACITY];
    if (!join(keys[2], L"CLSID\\", cls->clsid_text, L"") ||
        !join(keys[0], keys[2], L"\\InprocServer32", L"") ||
        !join(keys[1], keys[2], L"\\ProgID", L"") ||
        !join(keys[4], VANNIX_SAMPLE_PROGID_PREFIX, cls->name, L"") ||
        !join(keys[3], keys[4], L"\\CLSID", L""))
        return SELFREG_E_CLASS;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < 5; ++i) {
        LONG rc = RegDeleteKeyW(HKEY_CLASSES_ROOT, keys[i]);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            hr = SELFREG_E_CLASS;
    }
    return hr;
}

__declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer(void)
{
    WCHAR path[PATH_CAPACITY];
    DWORD length = GetModuleFileNameW(module_instance, path, PATH_CAPACITY);
    if (length == 0 || length >= PATH_CAPACITY)
        return SELFREG_E_CLASS;
    LONG rc = ERROR_SUCCESS;
    for (UINT i = 0; i < CLASS_COUNT && rc == ERROR_SUCCESS; ++i)
        rc = register_class(&classes[i], path);
    if (rc == ERROR_SUCCESS)
        rc = record_trace(path);
    return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

__declspec(dllexport) HRESULT STDAPICALLTYPE DllUnregisterServer(void)
{
    HRESULT hr = S_OK;
    for (UINT i = 0; i < CLASS_COUNT; ++i)
        if (unregister_class(&classes[i]) != S_OK)
            hr = SELFREG_E_CLASS;
    return hr;
}

__declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid,
                                                               void **out)
{
    if (!out)
        return E_POINTER;
    *out = NULL;
    for (UINT i = 0; i < CLASS_COUNT; ++i) {
        if (!same_guid(clsid, &classes[i].clsid))
            continue;
        factories[i].iface.lpVtbl = &factory_vtbl;
        factories[i].cls = &classes[i];
        return factory_query(&factories[i].iface, riid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

__declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow(void)
{
    return live_count == 0 ? S_OK : S_FALSE;
}

#ifdef SAMPLE_DLLINSTALL
__declspec(dllexport) HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR command_line)
{
    (void)command_line;
    return install ? DllRegisterServer() : DllUnregisterServer();
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        module_instance = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
