// The advapi32 operations of the installation check: the registry and CryptoAPI hashing.
//
// Kept apart from Platform so that only the programs that use them import advapi32: the
// installer does not; it loads advapi32 at run time, and only when it schedules work for the
// next restart. Members mirror the Win32 calls as Platform's do; the registry calls
// return the Win32 error code (0 on success), as the Windows ones do.
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
inline constexpr std::uint32_t kProvRsaAes = 24;
inline constexpr std::uint32_t kCryptVerifyContext = 0xF0000000u;
inline constexpr std::uint32_t kCalgSha256 = 0x0000800Cu;
inline constexpr std::uint32_t kHpHashVal = 0x0002u;

class Advapi32 {
 public:
  virtual ~Advapi32() = default;

  // Registry. Key names have at most 255 characters; value data is returned whole.
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
  // Writes the key's hive to the disk now rather than when Windows gets round to it.
  virtual std::int32_t RegFlushKey(RawHandle key) = 0;

  // CryptoAPI hashing; false on failure, with the reason in GetLastError.
  virtual bool CryptAcquireContextW(RawHandle* provider, std::uint32_t provider_type,
                                    std::uint32_t flags) = 0;
  virtual bool CryptCreateHash(RawHandle provider, std::uint32_t algorithm, RawHandle* hash) = 0;
  virtual bool CryptHashData(RawHandle hash, const std::byte* data, std::uint32_t size) = 0;
  virtual bool CryptGetHashParam(RawHandle hash, std::uint32_t parameter,
                                 std::vector<std::byte>* value) = 0;
  virtual bool CryptDestroyHash(RawHandle hash) = 0;
  virtual bool CryptReleaseContext(RawHandle provider) = 0;
};

}  // namespace vannix::platform
