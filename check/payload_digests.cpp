#include "check/payload_digests.h"

#include <algorithm>
#include <charconv>

#include "installer/failure.h"
#include "installer/own_resource.h"
#include "installer/text.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

[[noreturn]] void RaiseTableError(const std::u16string& what) {
  throw Failure("CheckError", u"the payload table of this program " + what);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseSha256(std::string_view hex, Sha256Digest* digest) {
  if (hex.size() != 64) return false;
  for (std::size_t i = 0; i < 32; ++i) {
    const int high = HexValue(hex[2 * i]);
    const int low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*digest)[i] = static_cast<std::byte>(high * 16 + low);
  }
  return true;
}

bool IsClsid(std::string_view text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  for (std::size_t i = 1; i < 37; ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    const char c = text[i];
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// "-" for none, else CLSIDs separated by commas.
bool ParseClasses(std::string_view field, std::vector<std::u16string>* classes) {
  if (field == "-") return true;
  for (std::size_t start = 0; start <= field.size();) {
    const std::size_t end = std::min(field.find(',', start), field.size());
    const std::string_view clsid = field.substr(start, end - start);
    if (!IsClsid(clsid)) return false;
    classes->push_back(Widen(clsid));
    start = end + 1;
  }
  return true;
}

// a.b.c.d, as VS_FIXEDFILEINFO holds it: four 16-bit parts.
bool IsVersion(std::string_view text) {
  int parts = 0;
  for (std::size_t start = 0; start <= text.size(); ++parts) {
    const std::size_t end = std::min(text.find('.', start), text.size());
    unsigned part = 0;
    const char* first = text.data() + start;
    const char* last = text.data() + end;
    if (first == last || std::from_chars(first, last, part).ptr != last || part > 65535)
      return false;
    start = end + 1;
  }
  return parts == 4;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0; start <= line.size();) {
    const std::size_t end = std::min(line.find(' ', start), line.size());
    fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

}  // namespace

std::vector<PayloadDigest> ParsePayloadDigests(std::string_view text) {
  std::vector<PayloadDigest> table;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    const std::vector<std::string_view> fields = Fields(line);
    PayloadDigest row;
    std::uint64_t size = 0;
    const bool valid =
        fields.size() == 6 && (fields[0] == "32" || fields[0] == "64") && !fields[1].empty() &&
        std::from_chars(fields[2].data(), fields[2].data() + fields[2].size(), size).ptr ==
            fields[2].data() + fields[2].size() &&
        !fields[2].empty() && ParseSha256(fields[3], &row.sha256) &&
        (fields[4] == "-" || IsVersion(fields[4])) && ParseClasses(fields[5], &row.classes);
    if (!valid) RaiseTableError(u"is damaged at line " + Decimal(number));
    row.variant = Widen(fields[0]);
    row.file_name = Widen(fields[1]);
    row.size = size;
    if (fields[4] != "-") row.file_version = Widen(fields[4]);
    table.push_back(std::move(row));
  }
  return table;
}

std::vector<PayloadDigest> LoadPayloadDigests(platform::Platform& platform) {
  const platform::RawHandle module = platform.GetModuleHandleW();
  const platform::RawHandle info = platform.FindResourceW(
      module, std::u16string(kPayloadDigestsResource), platform::kRtRcdata);
  if (info == 0) RaiseTableError(u"is missing");
  const OwnResource table = LoadOwnResource(platform, module, info);
  if (table.bytes == nullptr) RaiseTableError(u"cannot be read");
  return ParsePayloadDigests(
      std::string_view(reinterpret_cast<const char*>(table.bytes), table.size));
}

const PayloadDigest& FindDigest(const std::vector<PayloadDigest>& table,
                                std::u16string_view variant, std::u16string_view file_name) {
  for (const PayloadDigest& row : table) {
    if (row.variant == variant && row.file_name == file_name) return row;
  }
  RaiseTableError(u"has no row for " + std::u16string(variant) + u"/" +
                  std::u16string(file_name));
}

}  // namespace vannix
