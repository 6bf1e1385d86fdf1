#include "platform/win32_advapi32_on_demand.h"

#include <windows.h>

#include <string>

#include "platform/win32_registry_value.h"
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

template <typename Function>
Function As(void* address) {
  return reinterpret_cast<Function>(address);
}

bool NotImplemented() {
  ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return false;
}

}  // namespace

OnDemandAdvapi32::~OnDemandAdvapi32() {
  if (module_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(module_));
}

void* OnDemandAdvapi32::Export(const char* name) {
  if (!loaded_) {
    loaded_ = true;
    // By its full path: never through the DLL search path.
    wchar_t directory[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
    if (length != 0 && length < MAX_PATH) {
      const std::wstring path = std::wstring(directory, length) + L"\\advapi32.dll";
      module_ = ::LoadLibraryW(path.c_str());
    }
  }
  if (module_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module_), name));
}

std::int32_t OnDemandAdvapi32::RegOpenKeyExW(RawHandle key, const std::u16string& subkey,
                                             std::uint32_t access, RawHandle* result) {
  *result = 0;
  const auto open = As<RegOpenKeyExWFunction>(Export("RegOpenKeyExW"));
  if (open == nullptr) return ERROR_PROC_NOT_FOUND;
  HKEY opened = nullptr;
  const LONG status = open(Key(key), Wide(subkey), 0, access, &opened);
  if (status == ERROR_SUCCESS) *result = reinterpret_cast<RawHandle>(opened);
  return status;
}

std::int32_t OnDemandAdvapi32::RegEnumKeyExW(RawHandle key, std::uint32_t index,
                                             std::u16string* name) {
  const auto enumerate = As<RegEnumKeyExWFunction>(Export("RegEnumKeyExW"));
  if (enumerate == nullptr) return ERROR_PROC_NOT_FOUND;
  wchar_t buffer[256] = {};  // a key name has at most 255 characters
  DWORD length = 256;
  const LONG status = enumerate(Key(key), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS) name->assign(reinterpret_cast<const char16_t*>(buffer), length);
  return status;
}

std::int32_t OnDemandAdvapi32::RegQueryValueExW(RawHandle key, const std::u16string& value_name,
                                                std::uint32_t* type, std::vector<std::byte>* data) {
  const auto query = As<RegQueryValueExWFunction>(Export("RegQueryValueExW"));
  data->clear();
  if (query == nullptr) return ERROR_PROC_NOT_FOUND;
  return QueryWholeValue(query, Key(key), Wide(value_name), type, data);
}

std::int32_t OnDemandAdvapi32::RegCloseKey(RawHandle key) {
  const auto close = As<RegCloseKeyFunction>(Export("RegCloseKey"));
  return close == nullptr ? ERROR_PROC_NOT_FOUND : close(Key(key));
}

std::int32_t OnDemandAdvapi32::RegCreateKeyExW(RawHandle key, const std::u16string& subkey,
                                               std::uint32_t access, RawHandle* result) {
  *result = 0;
  const auto create = As<RegCreateKeyExWFunction>(Export("RegCreateKeyExW"));
  if (create == nullptr) return ERROR_PROC_NOT_FOUND;
  HKEY created = nullptr;
  const LONG status = create(Key(key), Wide(subkey), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                             nullptr, &created, nullptr);
  if (status == ERROR_SUCCESS) *result = reinterpret_cast<RawHandle>(created);
  return status;
}

std::int32_t OnDemandAdvapi32::RegSetValueExW(RawHandle key, const std::u16string& value_name,
                                              std::uint32_t type,
                                              const std::vector<std::byte>& data) {
  const auto set = As<RegSetValueExWFunction>(Export("RegSetValueExW"));
  if (set == nullptr) return ERROR_PROC_NOT_FOUND;
  return set(Key(key), Wide(value_name), 0, type, reinterpret_cast<const BYTE*>(data.data()),
             static_cast<DWORD>(data.size()));
}

std::int32_t OnDemandAdvapi32::RegDeleteValueW(RawHandle key, const std::u16string& value_name) {
  const auto remove = As<RegDeleteValueWFunction>(Export("RegDeleteValueW"));
  return remove == nullptr ? ERROR_PROC_NOT_FOUND : remove(Key(key), Wide(value_name));
}

std::int32_t OnDemandAdvapi32::RegFlushKey(RawHandle key) {
  const auto flush = As<RegFlushKeyFunction>(Export("RegFlushKey"));
  return flush == nullptr ? ERROR_PROC_NOT_FOUND : flush(Key(key));
}

bool OnDemandAdvapi32::CryptAcquireContextW(RawHandle*, std::uint32_t, std::uint32_t) {
  return NotImplemented();
}
bool OnDemandAdvapi32::CryptCreateHash(RawHandle, std::uint32_t, RawHandle*) {
  return NotImplemented();
}
bool OnDemandAdvapi32::CryptHashData(RawHandle, const std::byte*, std::uint32_t) {
  return NotImplemented();
}
bool OnDemandAdvapi32::CryptGetHashParam(RawHandle, std::uint32_t, std::vector<std::byte>*) {
  return NotImplemented();
}
bool OnDemandAdvapi32::CryptDestroyHash(RawHandle) { return NotImplemented(); }
bool OnDemandAdvapi32::CryptReleaseContext(RawHandle) { return NotImplemented(); }

}  // namespace vannix::platform
