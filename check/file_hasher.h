// SHA-256 of a file through CryptoAPI, read in chunks.
#pragma once

#include <cstdint>
#include <optional>

#include "check/payload_digests.h"
#include "platform/hashing.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace vannix {

class FileHasher {
 public:
  // Acquires the AES provider, which has SHA-256 from Windows XP SP3 on, and makes sure that it
  // can hash with SHA-256; raises a Failure when the system cannot.
  FileHasher(platform::Platform& platform, platform::Hashing& hashing);

  // The digest of everything `file` holds from its current position to its end, read in chunks
  // of kHashChunk bytes; none when a read or the hashing fails, with the error in `error`.
  std::optional<Sha256Digest> Hash(const platform::UniqueFile& file, std::uint32_t* error);

 private:
  platform::Platform& platform_;
  platform::Hashing& hashing_;
  platform::UniqueCryptProvider provider_;
};

inline constexpr std::uint32_t kHashChunk = 65536;

}  // namespace vannix
