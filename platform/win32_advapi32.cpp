#include "platform/win32_advapi32.h"

#include <windows.h>
#include <wincrypt.h>

#include "platform/win32_registry_value.h"
#include "platform/win32_text.h"

namespace vannix::platform {

std::int32_t Win32Advapi32::RegOpenKeyExW(RawHandle key, const std::u16string& subkey,
                                          std::uint32_t access, RawHandle* result) {
  HKEY opened = nullptr;
  const LONG status = ::RegOpenKeyExW(Key(key), Wide(subkey), 0, access, &opened);
  *result = status == ERROR_SUCCESS ? reinterpret_cast<RawHandle>(opened) : 0;
  return status;
}

std::int32_t Win32Advapi32::RegEnumKeyExW(RawHandle key, std::uint32_t index,
                                          std::u16string* name) {
  wchar_t buffer[256] = {};  // a key name has at most 255 characters
  DWORD length = 256;
  const LONG status =
      ::RegEnumKeyExW(Key(key), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS) name->assign(reinterpret_cast<const char16_t*>(buffer), length);
  return status;
}

std::int32_t Win32Advapi32::RegQueryValueExW(RawHandle key, const std::u16string& value_name,
                                             std::uint32_t* type, std::vector<std::byte>* data) {
  return QueryWholeValue(::RegQueryValueExW, Key(key), Wide(value_name), type, data);
}

std::int32_t Win32Advapi32::RegCloseKey(RawHandle key) { return ::RegCloseKey(Key(key)); }

std::int32_t Win32Advapi32::RegCreateKeyExW(RawHandle key, const std::u16string& subkey,
                                            std::uint32_t access, RawHandle* result) {
  HKEY created = nullptr;
  const LONG status = ::RegCreateKeyExW(Key(key), Wide(subkey), 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, access, nullptr, &created,
                                        nullptr);
  *result = status == ERROR_SUCCESS ? reinterpret_cast<RawHandle>(created) : 0;
  return status;
}

std::int32_t Win32Advapi32::RegDeleteValueW(RawHandle key, const std::u16string& value_name) {
  return ::RegDeleteValueW(Key(key), Wide(value_name));
}

std::int32_t Win32Advapi32::RegFlushKey(RawHandle key) { return ::RegFlushKey(Key(key)); }

std::int32_t Win32Advapi32::RegSetValueExW(RawHandle key, const std::u16string& value_name,
                                           std::uint32_t type, const std::vector<std::byte>& data) {
  return ::RegSetValueExW(Key(key), Wide(value_name), 0, type,
                          reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size()));
}

bool Win32Advapi32::CryptAcquireContextW(RawHandle* provider, std::uint32_t provider_type,
                                         std::uint32_t flags) {
  HCRYPTPROV handle = 0;
  const BOOL ok = ::CryptAcquireContextW(&handle, nullptr, nullptr, provider_type, flags);
  *provider = ok ? static_cast<RawHandle>(handle) : 0;
  return ok != FALSE;
}

bool Win32Advapi32::CryptCreateHash(RawHandle provider, std::uint32_t algorithm,
                                    RawHandle* hash) {
  HCRYPTHASH handle = 0;
  const BOOL ok = ::CryptCreateHash(static_cast<HCRYPTPROV>(provider), algorithm, 0, 0, &handle);
  *hash = ok ? static_cast<RawHandle>(handle) : 0;
  return ok != FALSE;
}

bool Win32Advapi32::CryptHashData(RawHandle hash, const std::byte* data, std::uint32_t size) {
  return ::CryptHashData(static_cast<HCRYPTHASH>(hash), reinterpret_cast<const BYTE*>(data),
                         size, 0) != FALSE;
}

bool Win32Advapi32::CryptGetHashParam(RawHandle hash, std::uint32_t parameter,
                                      std::vector<std::byte>* value) {
  DWORD size = 0;
  if (!::CryptGetHashParam(static_cast<HCRYPTHASH>(hash), parameter, nullptr, &size, 0))
    return false;
  value->resize(size);
  if (!::CryptGetHashParam(static_cast<HCRYPTHASH>(hash), parameter,
                           reinterpret_cast<BYTE*>(value->data()), &size, 0)) {
    return false;
  }
  value->resize(size);
  return true;
}

bool Win32Advapi32::CryptDestroyHash(RawHandle hash) {
  return ::CryptDestroyHash(static_cast<HCRYPTHASH>(hash)) != FALSE;
}

bool Win32Advapi32::CryptReleaseContext(RawHandle provider) {
  return ::CryptReleaseContext(static_cast<HCRYPTPROV>(provider), 0) != FALSE;
}

}  // namespace vannix::platform
