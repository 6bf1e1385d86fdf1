#include "platform/win32_hashing.h"

#include <windows.h>
#include <wincrypt.h>

#include "platform/win32_text.h"

namespace vannix::platform {
namespace {

using CryptAcquireContextWFunction = BOOL(WINAPI*)(HCRYPTPROV*, LPCWSTR, LPCWSTR, DWORD, DWORD);
using CryptCreateHashFunction = BOOL(WINAPI*)(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*);
using CryptHashDataFunction = BOOL(WINAPI*)(HCRYPTHASH, const BYTE*, DWORD, DWORD);
using CryptGetHashParamFunction = BOOL(WINAPI*)(HCRYPTHASH, DWORD, BYTE*, DWORD*, DWORD);
using CryptDestroyHashFunction = BOOL(WINAPI*)(HCRYPTHASH);
using CryptReleaseContextFunction = BOOL(WINAPI*)(HCRYPTPROV, DWORD);

bool Missing() {
  ::SetLastError(ERROR_PROC_NOT_FOUND);
  return false;
}

}  // namespace

template <typename Function>
Function Win32Hashing::Export(const char* name) {
  return reinterpret_cast<Function>(advapi32_.Export(name));
}

bool Win32Hashing::CryptAcquireContextW(RawHandle* provider, const std::u16string& provider_name,
                                        std::uint32_t provider_type, std::uint32_t flags) {
  *provider = 0;
  const auto acquire = Export<CryptAcquireContextWFunction>("CryptAcquireContextW");
  if (acquire == nullptr) return Missing();
  HCRYPTPROV handle = 0;
  if (!acquire(&handle, nullptr, Wide(provider_name), provider_type, flags)) return false;
  *provider = static_cast<RawHandle>(handle);
  return true;
}

bool Win32Hashing::CryptCreateHash(RawHandle provider, std::uint32_t algorithm, RawHandle* hash) {
  *hash = 0;
  const auto create = Export<CryptCreateHashFunction>("CryptCreateHash");
  if (create == nullptr) return Missing();
  HCRYPTHASH handle = 0;
  if (!create(static_cast<HCRYPTPROV>(provider), algorithm, 0, 0, &handle)) return false;
  *hash = static_cast<RawHandle>(handle);
  return true;
}

bool Win32Hashing::CryptHashData(RawHandle hash, const std::byte* data, std::uint32_t size) {
  const auto add = Export<CryptHashDataFunction>("CryptHashData");
  if (add == nullptr) return Missing();
  return add(static_cast<HCRYPTHASH>(hash), reinterpret_cast<const BYTE*>(data), size, 0) != FALSE;
}

bool Win32Hashing::CryptGetHashParam(RawHandle hash, std::uint32_t parameter,
                                     std::vector<std::byte>* value) {
  const auto get = Export<CryptGetHashParamFunction>("CryptGetHashParam");
  if (get == nullptr) return Missing();
  DWORD size = 0;
  if (!get(static_cast<HCRYPTHASH>(hash), parameter, nullptr, &size, 0)) return false;
  value->resize(size);
  if (!get(static_cast<HCRYPTHASH>(hash), parameter, reinterpret_cast<BYTE*>(value->data()), &size,
           0)) {
    return false;
  }
  value->resize(size);
  return true;
}

bool Win32Hashing::CryptDestroyHash(RawHandle hash) {
  const auto destroy = Export<CryptDestroyHashFunction>("CryptDestroyHash");
  return destroy != nullptr && destroy(static_cast<HCRYPTHASH>(hash)) != FALSE;
}

bool Win32Hashing::CryptReleaseContext(RawHandle provider) {
  const auto release = Export<CryptReleaseContextFunction>("CryptReleaseContext");
  return release != nullptr && release(static_cast<HCRYPTPROV>(provider), 0) != FALSE;
}

}  // namespace vannix::platform
