#include "installer/pending_renames.h"

#include "installer/registry_text.h"
#include "installer/text.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

constexpr std::u16string_view kValueNames[] = {u"PendingFileRenameOperations",
                                               u"PendingFileRenameOperations2"};

// "!\??\C:\x" -> "C:\x": everything before the drive letter goes.
std::u16string ProgramPath(std::u16string_view stored) {
  const auto drive = stored.find(u":\\");
  if (drive == std::u16string_view::npos || drive == 0) return std::u16string(stored);
  return std::u16string(stored.substr(drive - 1));
}

// Whether a stored destination carries the "!" of MOVEFILE_REPLACE_EXISTING before its path.
bool Replaces(std::u16string_view stored) {
  const auto drive = stored.find(u":\\");
  return drive != std::u16string_view::npos && drive != 0 &&
         stored.substr(0, drive - 1).find(u'!') != std::u16string_view::npos;
}

}  // namespace

std::vector<PendingRename> ParsePendingRenames(const std::vector<std::byte>& data) {
  const std::vector<std::u16string> strings = RegistryStrings(data);
  std::vector<PendingRename> renames;
  for (std::size_t i = 0; i + 1 < strings.size(); i += 2)
    renames.push_back(PendingRename{ProgramPath(strings[i]), ProgramPath(strings[i + 1]),
                                    Replaces(strings[i + 1])});
  return renames;
}

std::vector<PendingRename> ReadPendingRenames(platform::Registry& registry) {
  std::vector<PendingRename> renames;
  platform::UniqueRegistryKey key(registry);
  // HKLM\SYSTEM is the same for 32-bit and 64-bit programs.
  if (registry.RegOpenKeyExW(platform::kHkeyLocalMachine, std::u16string(kSessionManagerKey),
                             platform::kKeyRead, key.put()) != platform::kErrorSuccess) {
    return renames;
  }
  for (const std::u16string_view name : kValueNames) {
    std::uint32_t type = 0;
    std::vector<std::byte> data;
    if (registry.RegQueryValueExW(key.GetUnsafe(), std::u16string(name), &type, &data) !=
            platform::kErrorSuccess ||
        type != platform::kRegMultiSz) {
      continue;
    }
    for (PendingRename& rename : ParsePendingRenames(data)) renames.push_back(std::move(rename));
  }
  return renames;
}

bool RenameDecides(const std::vector<PendingRename>& renames, const std::u16string& from,
                   const std::u16string& to) {
  if (!IsRenamePending(renames, from, to)) return false;
  for (const PendingRename& rename : renames) {
    const bool ours = rename.replace && EqualIgnoringCase(rename.from, from) &&
                      EqualIgnoringCase(rename.to, to);
    const auto touches = [&](const std::u16string& path) {
      return EqualIgnoringCase(rename.from, path) || EqualIgnoringCase(rename.to, path);
    };
    if (!ours && (touches(from) || touches(to))) return false;
  }
  return true;
}

bool IsRenamePending(const std::vector<PendingRename>& renames, const std::u16string& from,
                     const std::u16string& to) {
  for (const PendingRename& rename : renames) {
    if (rename.replace && EqualIgnoringCase(rename.from, from) && EqualIgnoringCase(rename.to, to))
      return true;
  }
  return false;
}

}  // namespace vannix
