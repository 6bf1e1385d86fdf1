// What the advapi32 the check imports and the one the installer loads on demand share: the
// registry handle's type and RegQueryValueExW's data whole.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vannix::platform {

// The registry handle a RawHandle stands for.
inline HKEY Key(std::uintptr_t key) { return reinterpret_cast<HKEY>(key); }

// `query` is RegQueryValueExW or a pointer to it. A value may change size between two calls:
// asked again until the data fits.
template <typename Query>
LONG QueryWholeValue(Query query, HKEY key, const wchar_t* name, std::uint32_t* type,
                     std::vector<std::byte>* data) {
  constexpr int kAttempts = 4;
  data->resize(512);
  LONG status = ERROR_MORE_DATA;
  for (int attempt = 0; attempt < kAttempts && status == ERROR_MORE_DATA; ++attempt) {
    DWORD value_type = 0;
    DWORD size = static_cast<DWORD>(data->size());
    status = query(key, name, nullptr, &value_type, reinterpret_cast<BYTE*>(data->data()), &size);
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

}  // namespace vannix::platform
