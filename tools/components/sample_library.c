/* Sample plain library standing in for one unregistered component file: no COM entry points.
 *   SAMPLE_NAME     catalogue BaseName, kept in the file so that each library has its own bytes
 *   SAMPLE_EXPORTS  ssl | crypto | native | none (which plain functions it exports)
 *   SAMPLE_BUILD    set for files whose two payload variants must differ ("32"/"64")
 */

/* The few Windows types a plain DLL needs, declared here: <windows.h> costs about a second per
 * x86_64 compile (winnt.h pulls in x86intrin.h), most of the sample build. */
typedef int BOOL;
typedef unsigned long DWORD;
typedef void *LPVOID;
typedef __SIZE_TYPE__ SIZE_T;
typedef struct HINSTANCE__ *HINSTANCE;
#define TRUE 1
#ifdef __x86_64__
#define WINAPI
#else
#define WINAPI __attribute__((stdcall))
#endif

#ifndef SAMPLE_BUILD
#define SAMPLE_BUILD "any"
#endif
__attribute__((used)) static const char sample_marker[] =
    "vannix sample " SAMPLE_NAME " build " SAMPLE_BUILD;

#define EXPORTS_ssl 1
#define EXPORTS_crypto 2
#define EXPORTS_native 3
#define EXPORTS_none 4
#define SELECT2(x) EXPORTS_##x
#define SELECT(x) SELECT2(x)

#if SELECT(SAMPLE_EXPORTS) == EXPORTS_ssl
__declspec(dllexport) int SSL_library_init(void) { return 1; }
__declspec(dllexport) unsigned long SSLeay(void) { return 0x1000215fUL; }
#elif SELECT(SAMPLE_EXPORTS) == EXPORTS_crypto
__declspec(dllexport) unsigned long SSLeay(void) { return 0x1000215fUL; }
__declspec(dllexport) void OPENSSL_cleanse(void *p, SIZE_T n)
{
    volatile unsigned char *b = p;
    while (n--)
        *b++ = 0;
}
#elif SELECT(SAMPLE_EXPORTS) == EXPORTS_native
__declspec(dllexport) int WINAPI qelVersion(void) { return 1; }
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
