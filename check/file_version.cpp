#include "check/file_version.h"

#include <cstdint>
#include <utility>
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

FileVersionReader::FileVersionReader(platform::Platform& platform, std::u16string system_dir)
    : platform_(platform), system_dir_(std::move(system_dir)), version_(platform, 0) {}

std::u16string FileVersionReader::Read(const std::u16string& path) {
  if (!loaded_) {
    loaded_ = true;
    version_ =
        platform::UniqueLibrary(platform_, platform_.LoadLibraryW(system_dir_ + u"version.dll"));
    if (version_) {
      info_size_ex_ = platform_.GetProcAddress(version_.GetUnsafe(), "GetFileVersionInfoSizeExW");
      info_ex_ = platform_.GetProcAddress(version_.GetUnsafe(), "GetFileVersionInfoExW");
      info_size_ = platform_.GetProcAddress(version_.GetUnsafe(), "GetFileVersionInfoSizeW");
      info_ = platform_.GetProcAddress(version_.GetUnsafe(), "GetFileVersionInfoW");
      query_ = platform_.GetProcAddress(version_.GetUnsafe(), "VerQueryValueW");
    }
  }
  const bool neutral = info_size_ex_ != 0 && info_ex_ != 0;
  if ((!neutral && (info_size_ == 0 || info_ == 0)) || query_ == 0) return {};
  // The plain calls read the whole block from the file's language satellite where one exists,
  // which a serviced system may not have updated with the file.
  std::vector<std::byte> block, fixed;
  const bool read = neutral ? platform_.CallGetFileVersionInfoExW(info_size_ex_, info_ex_,
                                                                  platform::kFileVerGetNeutral,
                                                                  path, &block)
                            : platform_.CallGetFileVersionInfoW(info_size_, info_, path, &block);
  if (!read || !platform_.CallVerQueryValueW(query_, block, u"\\", &fixed) ||
      fixed.size() < kFixedFileInfoSize || DwordAt(fixed, 0) != kFixedFileInfoSignature) {
    return {};
  }
  const std::uint32_t high = DwordAt(fixed, 8), low = DwordAt(fixed, 12);
  return Decimal(high >> 16) + u"." + Decimal(high & 0xFFFF) + u"." + Decimal(low >> 16) + u"." +
         Decimal(low & 0xFFFF);
}

}  // namespace vannix
