/* Shared definitions of the sample COM servers that stand in for the real component files.
 *
 * Each registered sample is an in-process server for one class:
 *   HKCR\CLSID\{clsid}\InprocServer32  (default) = the DLL's own path, ThreadingModel = "Apartment"
 *   HKCR\CLSID\{clsid}\ProgID          (default) = "VannixSample.<BaseName>"
 *   HKCR\VannixSample.<BaseName>\CLSID (default) = "{clsid}"
 * The class implements IVannixSample; Describe() writes "<BaseName> <variant>" (e.g. "KorviX 32")
 * into a buffer of `capacity` WCHARs including the terminator. variant is the payload variant
 * that fits the running process: "64" under WOW64, else "32" (twins are byte-identical, so it
 * cannot be fixed at build time).
 *
 * For end-to-end checks, DllRegisterServer also leaves a trace in the 32-bit registry view:
 *   HKLM\Software\VannixSamples          Counter   REG_DWORD  registrations so far (all samples)
 *   HKLM\Software\VannixSamples\<Base>   Sequence  REG_DWORD  Counter after this registration
 *                                        SeenFiles REG_SZ     catalogue file names (BaseName +
 *                                                  Extension, catalogue order, space-separated)
 *                                                  present beside the DLL when it registered
 *                                        Path      REG_SZ     the DLL's own path
 * DllUnregisterServer removes the class keys and the ProgID, and leaves the trace alone.
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

/* One class per registered catalogue entry. */
static const CLSID CLSID_VannixSample_KorviX =
    {0x6c1a5e21, 0x3b7d, 0x4f0e, {0x9a, 0x41, 0x5d, 0x2c, 0x8b, 0x7e, 0x1f, 0x11}};
static const CLSID CLSID_VannixSample_KorviDataSetX =
    {0x6c1a5e22, 0x3b7d, 0x4f0e, {0x9a, 0x41, 0x5d, 0x2c, 0x8b, 0x7e, 0x1f, 0x12}};
static const CLSID CLSID_VannixSample_msxml6 =
    {0x6c1a5e23, 0x3b7d, 0x4f0e, {0x9a, 0x41, 0x5d, 0x2c, 0x8b, 0x7e, 0x1f, 0x13}};
static const CLSID CLSID_VannixSample_KorviGovX =
    {0x6c1a5e24, 0x3b7d, 0x4f0e, {0x9a, 0x41, 0x5d, 0x2c, 0x8b, 0x7e, 0x1f, 0x14}};
static const CLSID CLSID_VannixSample_midas =
    {0x6c1a5e25, 0x3b7d, 0x4f0e, {0x9a, 0x41, 0x5d, 0x2c, 0x8b, 0x7e, 0x1f, 0x15}};
static const CLSID CLSID_VannixSample_stdvcl40 =
    {0x6c1a5e26, 0x3b7d, 0x4f0e, {0x9a, 0x41, 0x5d, 0x2c, 0x8b, 0x7e, 0x1f, 0x16}};

/* The same, as registry text. */
#define VANNIX_SAMPLE_CLSID_KorviX        L"{6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F11}"
#define VANNIX_SAMPLE_CLSID_KorviDataSetX L"{6C1A5E22-3B7D-4F0E-9A41-5D2C8B7E1F12}"
#define VANNIX_SAMPLE_CLSID_msxml6        L"{6C1A5E23-3B7D-4F0E-9A41-5D2C8B7E1F13}"
#define VANNIX_SAMPLE_CLSID_KorviGovX     L"{6C1A5E24-3B7D-4F0E-9A41-5D2C8B7E1F14}"
#define VANNIX_SAMPLE_CLSID_midas         L"{6C1A5E25-3B7D-4F0E-9A41-5D2C8B7E1F15}"
#define VANNIX_SAMPLE_CLSID_stdvcl40      L"{6C1A5E26-3B7D-4F0E-9A41-5D2C8B7E1F16}"

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
