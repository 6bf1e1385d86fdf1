// The CryptoAPI hashing of the installation check, behind one interface: the SHA-256 of the
// installed files. Members mirror the Win32 calls; false on failure, with the reason in
// GetLastError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vannix::platform {

inline constexpr std::uint32_t kProvRsaAes = 24;
inline constexpr std::uint32_t kCryptVerifyContext = 0xF0000000u;
inline constexpr std::uint32_t kCalgSha256 = 0x0000800Cu;
inline constexpr std::uint32_t kHpHashVal = 0x0002u;

class Hashing {
 public:
  virtual ~Hashing() = default;

  // With no key container; `provider_name` names the provider (never the user's default,
  // which any user may set).
  virtual bool CryptAcquireContextW(RawHandle* provider, const std::u16string& provider_name,
                                    std::uint32_t provider_type, std::uint32_t flags) = 0;
  virtual bool CryptCreateHash(RawHandle provider, std::uint32_t algorithm, RawHandle* hash) = 0;
  virtual bool CryptHashData(RawHandle hash, const std::byte* data, std::uint32_t size) = 0;
  virtual bool CryptGetHashParam(RawHandle hash, std::uint32_t parameter,
                                 std::vector<std::byte>* value) = 0;
  virtual bool CryptDestroyHash(RawHandle hash) = 0;
  virtual bool CryptReleaseContext(RawHandle provider) = 0;
};

}  // namespace vannix::platform
