// The advapi32 operations on real Windows: each member is the Win32 call of the same name.
#pragma once

#include "platform/advapi32.h"

namespace vannix::platform {

class Win32Advapi32 final : public Advapi32 {
 public:
  std::int32_t RegOpenKeyExW(RawHandle key, const std::u16string& subkey, std::uint32_t access,
                             RawHandle* result) override;
  std::int32_t RegEnumKeyExW(RawHandle key, std::uint32_t index, std::u16string* name) override;
  std::int32_t RegQueryValueExW(RawHandle key, const std::u16string& value_name,
                                std::uint32_t* type, std::vector<std::byte>* data) override;
  std::int32_t RegCloseKey(RawHandle key) override;
  std::int32_t RegCreateKeyExW(RawHandle key, const std::u16string& subkey, std::uint32_t access,
                               RawHandle* result) override;
  std::int32_t RegSetValueExW(RawHandle key, const std::u16string& value_name, std::uint32_t type,
                              const std::vector<std::byte>& data) override;
  std::int32_t RegDeleteValueW(RawHandle key, const std::u16string& value_name) override;
  std::int32_t RegFlushKey(RawHandle key) override;
  bool CryptAcquireContextW(RawHandle* provider, std::uint32_t provider_type,
                            std::uint32_t flags) override;
  bool CryptCreateHash(RawHandle provider, std::uint32_t algorithm, RawHandle* hash) override;
  bool CryptHashData(RawHandle hash, const std::byte* data, std::uint32_t size) override;
  bool CryptGetHashParam(RawHandle hash, std::uint32_t parameter,
                         std::vector<std::byte>* value) override;
  bool CryptDestroyHash(RawHandle hash) override;
  bool CryptReleaseContext(RawHandle provider) override;
};

}  // namespace vannix::platform
