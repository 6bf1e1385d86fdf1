// CryptoAPI hashing on real Windows: each member is the advapi32 call of the same name. advapi32
// is loaded from the system directory on the first call, after the check has restricted its DLL
// search, with what it takes by name loaded by full path first: cryptsp.dll, to which its
// CryptoAPI exports forward from Windows 7 on, and the AES provider rsaenh.dll, which CryptoAPI
// loads by the name its registration gives (a bare one on XP). Neither is a Known DLL.
#pragma once

#include "platform/hashing.h"
#include "platform/system_library.h"

namespace vannix::platform {

class Win32Hashing final : public Hashing {
 public:
  explicit Win32Hashing(Platform& platform) : advapi32_(platform, u"advapi32.dll", {u"cryptsp.dll", u"rsaenh.dll"}) {}

  bool CryptAcquireContextW(RawHandle* provider, const std::u16string& provider_name,
                            std::uint32_t provider_type, std::uint32_t flags) override;
  bool CryptCreateHash(RawHandle provider, std::uint32_t algorithm, RawHandle* hash) override;
  bool CryptHashData(RawHandle hash, const std::byte* data, std::uint32_t size) override;
  bool CryptGetHashParam(RawHandle hash, std::uint32_t parameter,
                         std::vector<std::byte>* value) override;
  bool CryptDestroyHash(RawHandle hash) override;
  bool CryptReleaseContext(RawHandle provider) override;

 private:
  template <typename Function>
  Function Export(const char* name);

  SystemLibrary advapi32_;
};

}  // namespace vannix::platform
