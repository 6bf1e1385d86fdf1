// The table of what the installer carries, as the installation check reads it from its own
// resources: per payload variant and file, the size, SHA-256 and file version. Generated at
// build time from the same payload directory as the installer's resources.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace vannix {

inline constexpr std::u16string_view kPayloadDigestsResource = u"PAYLOADDIGESTS";

using Sha256Digest = std::array<std::byte, 32>;

struct PayloadDigest {
  std::u16string variant;    // "32" or "64"
  std::u16string file_name;  // BaseName and Extension
  std::uint64_t size = 0;
  Sha256Digest sha256{};
  std::u16string file_version;  // "a.b.c.d" of the file's version block; empty when it has none
  // Of a COM server: the CLSIDs ("{...}", upper case) of the creatable classes its type library
  // declares; empty when they are unknown (no type library) or the file is no server.
  std::vector<std::u16string> classes;
};

// Parses the table's text, which tools/image/payload_digests.py writes: ASCII, one line per
// file, each ending with "\n", its fields separated by one blank:
//   <variant: 32 or 64> <file name> <size: decimal> <SHA-256: 64 lower-case hex digits>
//   <file version: a.b.c.d, each part decimal and at most 65535; or - for none>
//   <CLSIDs of the creatable classes: {upper-case hex}, separated by commas; or - for none>
// Raises a Failure naming the first line that does not have that form.
std::vector<PayloadDigest> ParsePayloadDigests(std::string_view text);

// Reads and parses the table from the program's own resources; raises a Failure when it is
// missing or damaged.
std::vector<PayloadDigest> LoadPayloadDigests(platform::Platform& platform);

// The row for one file of one variant; raises a Failure when the table has none.
const PayloadDigest& FindDigest(const std::vector<PayloadDigest>& table,
                                std::u16string_view variant, std::u16string_view file_name);

}  // namespace vannix
