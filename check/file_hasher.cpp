#include "check/file_hasher.h"

#include <algorithm>
#include <vector>

#include "installer/failure.h"
#include "installer/text.h"

namespace vannix {
namespace {

const std::u16string kAesProvider = u"Microsoft Enhanced RSA and AES Cryptographic Provider";

}  // namespace

FileHasher::FileHasher(platform::Platform& platform, platform::Hashing& hashing)
    : platform_(platform), hashing_(hashing), provider_(hashing) {
  // The AES provider by its name: on XP SP3 it still carries "(Prototype)".
  if (!hashing_.CryptAcquireContextW(provider_.put(), kAesProvider, platform::kProvRsaAes,
                                     platform::kCryptVerifyContext) &&
      !hashing_.CryptAcquireContextW(provider_.put(), kAesProvider + u" (Prototype)",
                                     platform::kProvRsaAes, platform::kCryptVerifyContext)) {
    throw Failure("CheckError",
                  u"no SHA-256 provider is available" + ErrorText(platform_.GetLastError()));
  }
  // Windows XP SP2 has the provider but not its SHA-256: without this probe every file would
  // differ. Asked once, before any verdict.
  platform::UniqueCryptHash probe(hashing_);
  if (!hashing_.CryptCreateHash(provider_.GetUnsafe(), platform::kCalgSha256, probe.put())) {
    throw Failure("CheckError",
                  u"SHA-256 is not available on this system" + ErrorText(platform_.GetLastError()));
  }
}

std::optional<Sha256Digest> FileHasher::Hash(const platform::UniqueFile& file,
                                             std::uint32_t* error) {
  platform::UniqueCryptHash hash(hashing_);
  if (!hashing_.CryptCreateHash(provider_.GetUnsafe(), platform::kCalgSha256, hash.put())) {
    *error = platform_.GetLastError();
    return std::nullopt;
  }
  std::vector<std::byte> buffer(kHashChunk);
  for (;;) {
    std::uint32_t read = 0;
    if (!platform_.ReadFile(file.GetUnsafe(), buffer.data(), kHashChunk, &read)) {
      *error = platform_.GetLastError();
      return std::nullopt;
    }
    if (read == 0) break;  // the end of the file
    if (!hashing_.CryptHashData(hash.GetUnsafe(), buffer.data(), read)) {
      *error = platform_.GetLastError();
      return std::nullopt;
    }
  }
  std::vector<std::byte> value;
  if (!hashing_.CryptGetHashParam(hash.GetUnsafe(), platform::kHpHashVal, &value) ||
      value.size() != Sha256Digest{}.size()) {
    *error = platform_.GetLastError();
    return std::nullopt;
  }
  Sha256Digest digest;
  std::copy(value.begin(), value.end(), digest.begin());
  return digest;
}

}  // namespace vannix
