/* Shared definitions of the sample COM servers that stand in for the real component files.
 *
 * Each registered sample is an in-process server of the classes its type library declares
 * creatable (typelibs/<BaseName>.idl, compiled by widl into its TYPELIB resource; the class
 * named <BaseName> first, KorviX has two more, KorviDataSetX a non-creatable one; msxml6 those
 * of MSXML 6.0, under Microsoft's CLSIDs, which Windows registers for its own file). Its
 * DllRegisterServer registers exactly those, each as
 *   HKCR\CLSID\{clsid}\InprocServer32  (default) = the DLL's own path, ThreadingModel = "Apartment"
 *   HKCR\CLSID\{clsid}\ProgID          (default) = "VannixSample.<class name>"
 *   HKCR\VannixSample.<class name>\CLSID (default) = "{clsid}"
 * Each class implements IVannixSample; Describe() writes "<class name> <variant>" (e.g.
 * "KorviXGrid 32") into a buffer of `capacity` WCHARs including the terminator. variant is the
 * payload variant that fits the running process: "64" under WOW64, else "32" (twins are byte-identical, so it
 * cannot be fixed at build time).
 *
 * For end-to-end checks, DllRegisterServer also leaves a trace in the 32-bit registry view:
 *   HKLM\Software\VannixSamples          Counter   REG_DWORD  registrations so far (all samples)
 *   HKLM\Software\VannixSamples\<Base>   Sequence  REG_DWORD  Counter after this registration
 *                                        SeenFiles REG_SZ     catalogue file names (BaseName +
 *                                                  Extension, catalogue order, space-separated)
 *                                                  present beside the DLL when it registered
 *                                        Path      REG_SZ     the DLL's own path
 * DllUnregisterServer removes the class keys and the ProgIDs, and leaves the trace alone.
 */
#ifndef VANNIX_SAMPLE_COM_H
#define VANNIX_SAMPLE_COM_H

/* The parts of <windows.h> the samples use: the whole of it is most of a sample's compile time. */
#include <windef.h>
#include <winbase.h>
#include <winreg.h>
#include <winerror.h>
#ifdef __cplusplus
#include <unknwn.h>
#endif

#define VANNIX_SAMPLE_PROGID_PREFIX L"VannixSample."
#define VANNIX_SAMPLE_TRACE_KEY L"Software\\VannixSamples"

/* {6C1A5E20-3B7D-4F0E-9A41-5D2C8B7E1F01} */
static const IID IID_IVannixSample =
    {0x6c1a5e20, 0x3b7d, 0x4f0e, {0x9a, 0x41, 0x5d, 0x2c, 0x8b, 0x7e, 0x1f, 0x01}};

/* Catalogue file names in catalogue order, as SeenFiles lists them. */
#define VANNIX_SAMPLE_CATALOGUE_FILES \
    L"KorviX.dll", L"KorviDataSetX.dll", L"msxml6.dll", L"KorviGovX.ocx", L"midas.dll", \
    L"stdvcl40.dll", L"ssleay32.dll", L"libeay32.dll", L"msxml6r.dll", \
    L"qelKorviLibUNICODE.dll", L"qelKorviLib.dll"

#ifdef __cplusplus
struct IVannixSample : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Describe(LPWSTR buffer, UINT capacity) = 0;
};
#else
typedef struct IVannixSample IVannixSample;
typedef struct IVannixSampleVtbl {
    HRESULT (STDMETHODCALLTYPE *QueryInterface)(IVannixSample *self, REFIID riid, void **out);
    ULONG (STDMETHODCALLTYPE *AddRef)(IVannixSample *self);
    ULONG (STDMETHODCALLTYPE *Release)(IVannixSample *self);
    HRESULT (STDMETHODCALLTYPE *Describe)(IVannixSample *self, LPWSTR buffer, UINT capacity);
} IVannixSampleVtbl;
struct IVannixSample {
    const IVannixSampleVtbl *lpVtbl;
};
#endif

#endif
