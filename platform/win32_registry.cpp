#include "platform/win32_registry.h"

#include <windows.h>

#include "platform/win32_text.h"

namespace vannix::platform {
namespace {

using RegOpenKeyExWFunction = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
using RegEnumKeyExWFunction = LONG(WINAPI*)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR,
                                            LPDWORD, PFILETIME);
using RegQueryValueExWFunction = LONG(WINAPI*)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
using RegCloseKeyFunction = LONG(WINAPI*)(HKEY);
using RegCreateKeyExWFunction = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM,
                                              const SECURITY_ATTRIBUTES*, PHKEY, LPDWORD);
using RegSetValueExWFunction = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
using RegDeleteValueWFunction = LONG(WINAPI*)(HKEY, LPCWSTR);
using RegFlushKeyFunction = LONG(WINAPI*)(HKEY);

HKEY Key(RawHandle key) { return reinterpret_cast<HKEY>(key); }

}  // namespace

template <typename Function>
Function Win32Registry::Export(const char* name) {
  return reinterpret_cast<Function>(advapi32_.Export(name));
}

std::int32_t Win32Registry::RegOpenKeyExW(RawHandle key, const std::u16string& subkey,
                                          std::uint32_t access, RawHandle* result) {
  *result = 0;
  const auto open = Export<RegOpenKeyExWFunction>("RegOpenKeyExW");
  if (open == nullptr) return ERROR_PROC_NOT_FOUND;
  HKEY opened = nullptr;
  const LONG status = open(Key(key), Wide(subkey), 0, access, &opened);
  if (status == ERROR_SUCCESS) *result = reinterpret_cast<RawHandle>(opened);
  return status;
}

std::int32_t Win32Registry::RegEnumKeyExW(RawHandle key, std::uint32_t index,
                                          std::u16string* name) {
  const auto enumerate = Export<RegEnumKeyExWFunction>("RegEnumKeyExW");
  if (enumerate == nullptr) return ERROR_PROC_NOT_FOUND;
  wchar_t buffer[256] = {};  // a key name has at most 255 characters
  DWORD length = 256;
  const LONG status = enumerate(Key(key), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS) name->assign(reinterpret_cast<const char16_t*>(buffer), length);
  return status;
}

std::int32_t Win32Registry::RegQueryValueExW(RawHandle key, const std::u16string& value_name,
                                             std::uint32_t* type, std::vector<std::byte>* data) {
  data->clear();
  const auto query = Export<RegQueryValueExWFunction>("RegQueryValueExW");
  if (query == nullptr) return ERROR_PROC_NOT_FOUND;
  // A value may change size between two calls: asked again until the data fits.
  constexpr int kAttempts = 4;
  data->resize(512);
  LONG status = ERROR_MORE_DATA;
  for (int attempt = 0; attempt < kAttempts && status == ERROR_MORE_DATA; ++attempt) {
    DWORD value_type = 0;
    DWORD size = static_cast<DWORD>(data->size());
    status = query(Key(key), Wide(value_name), nullptr, &value_type,
                   reinterpret_cast<BYTE*>(data->data()), &size);
    if (status == ERROR_SUCCESS) {
      data->resize(size);
      *type = value_type;
    } else if (status == ERROR_MORE_DATA) {
      data->resize(size);
    }
  }
  if (status != ERROR_SUCCESS) data->clear();
  return status;
}

std::int32_t Win32Registry::RegCloseKey(RawHandle key) {
  const auto close = Export<RegCloseKeyFunction>("RegCloseKey");
  return close == nullptr ? ERROR_PROC_NOT_FOUND : close(Key(key));
}

std::int32_t Win32Registry::RegCreateKeyExW(RawHandle key, const std::u16string& subkey,
                                            std::uint32_t access, RawHandle* result) {
  *result = 0;
  const auto create = Export<RegCreateKeyExWFunction>("RegCreateKeyExW");
  if (create == nullptr) return ERROR_PROC_NOT_FOUND;
  HKEY created = nullptr;
  const LONG status = create(Key(key), Wide(subkey), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                             nullptr, &created, nullptr);
  if (status == ERROR_SUCCESS) *result = reinterpret_cast<RawHandle>(created);
  return status;
}

std::int32_t Win32Registry::RegSetValueExW(RawHandle key, const std::u16string& value_name,
                                           std::uint32_t type, const std::vector<std::byte>& data) {
  const auto set = Export<RegSetValueExWFunction>("RegSetValueExW");
  if (set == nullptr) return ERROR_PROC_NOT_FOUND;
  return set(Key(key), Wide(value_name), 0, type, reinterpret_cast<const BYTE*>(data.data()),
             static_cast<DWORD>(data.size()));
}

std::int32_t Win32Registry::RegDeleteValueW(RawHandle key, const std::u16string& value_name) {
  const auto remove = Export<RegDeleteValueWFunction>("RegDeleteValueW");
  return remove == nullptr ? ERROR_PROC_NOT_FOUND : remove(Key(key), Wide(value_name));
}

std::int32_t Win32Registry::RegFlushKey(RawHandle key) {
  const auto flush = Export<RegFlushKeyFunction>("RegFlushKey");
  return flush == nullptr ? ERROR_PROC_NOT_FOUND : flush(Key(key));
}

}  // namespace vannix::platform
