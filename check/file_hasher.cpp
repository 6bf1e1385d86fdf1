#include "check/file_hasher.h"

#include <algorithm>
#include <vector>

#include "installer/failure.h"
#include "installer/text.h"

namespace vannix {
namespace {

platform::RawHandle AcquireProvider(platform::Platform& platform,
                                    platform::Advapi32& advapi32) {
  platform::RawHandle provider = 0;
  if (!advapi32.CryptAcquireContextW(&provider, platform::kProvRsaAes,
                                     platform::kCryptVerifyContext)) {
    throw Failure("CheckError", u"no SHA-256 provider is available (error " +
                                    Decimal(platform.GetLastError()) + u")");
  }
  return provider;
}

}  // namespace

FileHasher::FileHasher(platform::Platform& platform, platform::Advapi32& advapi32)
    : platform_(platform),
      advapi32_(advapi32),
      provider_(advapi32, AcquireProvider(platform, advapi32)) {
  // Windows XP SP2 has the provider but not its SHA-256: without this probe every file would
  // differ. Asked once, before any verdict.
  platform::RawHandle probe = 0;
  if (!advapi32_.CryptCreateHash(provider_.GetUnsafe(), platform::kCalgSha256, &probe)) {
    throw Failure("CheckError", u"SHA-256 is not available on this system (error " +
                                    Decimal(platform_.GetLastError()) + u")");
  }
  const platform::UniqueCryptHash released(advapi32_, probe);
}

std::optional<Sha256Digest> FileHasher::Hash(const platform::UniqueFile& file,
                                             std::uint32_t* error) {
  platform::RawHandle raw_hash = 0;
  if (!advapi32_.CryptCreateHash(provider_.GetUnsafe(), platform::kCalgSha256, &raw_hash)) {
    *error = platform_.GetLastError();
    return std::nullopt;
  }
  const platform::UniqueCryptHash hash(advapi32_, raw_hash);
  std::vector<std::byte> buffer(kHashChunk);
  for (;;) {
    std::uint32_t read = 0;
    if (!platform_.ReadFile(file.GetUnsafe(), buffer.data(), kHashChunk, &read)) {
      *error = platform_.GetLastError();
      return std::nullopt;
    }
    if (read == 0) break;  // the end of the file
    if (!advapi32_.CryptHashData(hash.GetUnsafe(), buffer.data(), read)) {
      *error = platform_.GetLastError();
      return std::nullopt;
    }
  }
  std::vector<std::byte> value;
  if (!advapi32_.CryptGetHashParam(hash.GetUnsafe(), platform::kHpHashVal, &value) ||
      value.size() != Sha256Digest{}.size()) {
    *error = platform_.GetLastError();
    return std::nullopt;
  }
  Sha256Digest digest;
  std::copy(value.begin(), value.end(), digest.begin());
  return digest;
}

}  // namespace vannix
