// The registry calls the programs make, behind one interface.
//
// Kept apart from Platform because both programs load advapi32 only when they first need it:
// the installer only when it schedules work for the next restart. Members mirror the Win32
// calls and return the Win32 error code (0 on success), as the Windows ones do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vannix::platform {

inline constexpr RawHandle kHkeyClassesRoot = 0x80000000u;
inline constexpr RawHandle kHkeyLocalMachine = 0x80000002u;
inline constexpr std::uint32_t kKeyRead = 0x20019u;
inline constexpr std::uint32_t kKeySetValue = 0x0002u;
inline constexpr std::uint32_t kKeyWow64View64 = 0x0100u;  // KEY_WOW64_64KEY
inline constexpr std::uint32_t kKeyWow64View32 = 0x0200u;  // KEY_WOW64_32KEY
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::int32_t kErrorSuccess = 0;
inline constexpr std::int32_t kErrorNoMoreItems = 259;

class Registry {
 public:
  virtual ~Registry() = default;

  // Key names have at most 255 characters; value data is returned whole.
  virtual std::int32_t RegOpenKeyExW(RawHandle key, const std::u16string& subkey,
                                     std::uint32_t access, RawHandle* result) = 0;
  virtual std::int32_t RegEnumKeyExW(RawHandle key, std::uint32_t index, std::u16string* name) = 0;
  virtual std::int32_t RegQueryValueExW(RawHandle key, const std::u16string& value_name,
                                        std::uint32_t* type, std::vector<std::byte>* data) = 0;
  virtual std::int32_t RegCloseKey(RawHandle key) = 0;
  // RegCreateKeyExW with no class, REG_OPTION_NON_VOLATILE and default security.
  virtual std::int32_t RegCreateKeyExW(RawHandle key, const std::u16string& subkey,
                                       std::uint32_t access, RawHandle* result) = 0;
  virtual std::int32_t RegSetValueExW(RawHandle key, const std::u16string& value_name,
                                      std::uint32_t type, const std::vector<std::byte>& data) = 0;
  virtual std::int32_t RegDeleteValueW(RawHandle key, const std::u16string& value_name) = 0;
  // Writes the key's hive to the disk now rather than when Windows gets round to it. The key
  // must be open with KEY_QUERY_VALUE (part of KEY_READ).
  virtual std::int32_t RegFlushKey(RawHandle key) = 0;
};

}  // namespace vannix::platform
