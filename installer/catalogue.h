// The fixed catalogue of component files, in the order of deployment and registration.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace vannix {

struct ComponentEntry {
  std::u16string_view BaseName;
  std::u16string_view Extension;
  bool Register;
};

// The COM servers come first so that each is registered as soon as it is written.
inline constexpr std::array<ComponentEntry, 11> kCatalogue{{
    {u"KorviX", u".dll", true},
    {u"KorviDataSetX", u".dll", true},
    {u"msxml6", u".dll", true},
    {u"KorviGovX", u".ocx", true},
    {u"midas", u".dll", true},
    {u"stdvcl40", u".dll", true},
    {u"ssleay32", u".dll", false},
    {u"libeay32", u".dll", false},
    {u"msxml6r", u".dll", false},
    {u"qelKorviLibUNICODE", u".dll", false},
    {u"qelKorviLib", u".dll", false},
}};

// The file name an entry is installed under: BaseName and Extension.
inline std::u16string EntryFileName(const ComponentEntry& entry) {
  return std::u16string(entry.BaseName) + std::u16string(entry.Extension);
}

}  // namespace vannix
