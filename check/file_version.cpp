#include "check/file_version.h"

#include <cstdint>
#include <vector>

#include "installer/text.h"

namespace vannix {
namespace {

constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;
constexpr std::size_t kFixedFileInfoSize = 52;

std::uint32_t DwordAt(const std::vector<std::byte>& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | std::to_integer<std::uint32_t>(bytes[offset + i]);
  return value;
}

}  // namespace

std::u16string FileVersionReader::Read(const std::u16string& path) {
  // The Ex calls exist from Vista on.
  const platform::ProcAddress info_size_ex = version_.Export("GetFileVersionInfoSizeExW");
  const platform::ProcAddress info_ex = version_.Export("GetFileVersionInfoExW");
  const platform::ProcAddress info_size = version_.Export("GetFileVersionInfoSizeW");
  const platform::ProcAddress info = version_.Export("GetFileVersionInfoW");
  const platform::ProcAddress query = version_.Export("VerQueryValueW");
  const bool neutral = info_size_ex != 0 && info_ex != 0;
  if ((!neutral && (info_size == 0 || info == 0)) || query == 0) return {};
  // The plain calls read the whole block from the file's language satellite where one exists,
  // which a serviced system may not have updated with the file.
  std::vector<std::byte> block, fixed;
  const bool read = neutral ? platform_.CallGetFileVersionInfoExW(info_size_ex, info_ex,
                                                                  platform::kFileVerGetNeutral,
                                                                  path, &block)
                            : platform_.CallGetFileVersionInfoW(info_size, info, path, &block);
  if (!read || !platform_.CallVerQueryValueW(query, block, u"\\", &fixed) ||
      fixed.size() < kFixedFileInfoSize || DwordAt(fixed, 0) != kFixedFileInfoSignature) {
    return {};
  }
  const std::uint32_t high = DwordAt(fixed, 8), low = DwordAt(fixed, 12);
  return Decimal(high >> 16) + u"." + Decimal(high & 0xFFFF) + u"." + Decimal(low >> 16) + u"." +
         Decimal(low & 0xFFFF);
}

}  // namespace vannix
