// Small UTF-16 text helpers shared by the installer files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vannix {

// Upper-case hexadecimal, zero-padded to `digits`.
inline std::u16string Hex(std::uintptr_t value, int digits) {
  std::u16string out(static_cast<std::size_t>(digits), u'0');
  for (int i = digits - 1; i >= 0 && value != 0; --i, value >>= 4)
    out[static_cast<std::size_t>(i)] = u"0123456789ABCDEF"[value & 0xF];
  return out;
}

inline std::u16string Decimal(std::uint64_t value) {
  std::u16string out;
  do {
    out.insert(out.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return out;
}

// The file-name part of a path: the text after its last backslash, slash or colon (the whole
// text when it has none).
inline std::u16string FileNameOf(std::u16string_view path) {
  const auto separator = path.find_last_of(u"\\/:");
  return std::u16string(separator == std::u16string_view::npos ? path : path.substr(separator + 1));
}

// " (error N)": how every message names the Windows error behind it.
inline std::u16string ErrorText(std::uint64_t error) {
  return u" (error " + Decimal(error) + u")";
}

// ASCII is all the installer ever converts (class names, fixed texts).
inline std::u16string Widen(std::string_view ascii) {
  std::u16string out;
  for (const unsigned char c : ascii) out += static_cast<char16_t>(c);
  return out;
}

// Letter case aside, as file names compare; only ASCII letters are folded, which is all the
// catalogue's names and the system's directory names need.
inline bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  const auto fold = [](char16_t c) -> char16_t {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
  };
  for (std::size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

}  // namespace vannix
