// Registry strings as stored: UTF-16LE, each ending with a NUL.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vannix {

// REG_SZ data: the text and its terminating NUL.
inline std::vector<std::byte> RegistryString(const std::u16string& text) {
  std::vector<std::byte> data;
  data.reserve((text.size() + 1) * 2);
  for (const char16_t c : text + u'\0') {
    data.push_back(static_cast<std::byte>(c & 0xFF));
    data.push_back(static_cast<std::byte>(c >> 8));
  }
  return data;
}

// Every NUL-terminated string of REG_MULTI_SZ (or REG_SZ) data, empty ones included: in a list of
// pending renames an empty string is a meaningful entry (a deletion). A last string that lacks
// its NUL counts too; the empty string after the last NUL is not one.
inline std::vector<std::u16string> RegistryStrings(const std::vector<std::byte>& data) {
  std::vector<std::u16string> strings;
  std::u16string current;
  bool open = false;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    const auto c = static_cast<char16_t>(std::to_integer<unsigned>(data[i]) |
                                         std::to_integer<unsigned>(data[i + 1]) << 8);
    if (c == u'\0') {
      strings.push_back(std::move(current));
      current.clear();
      open = false;
    } else {
      current += c;
      open = true;
    }
  }
  if (open) strings.push_back(std::move(current));
  return strings;
}

// REG_SZ data's text: up to its first NUL, which it may lack.
inline std::u16string RegistryText(const std::vector<std::byte>& data) {
  std::vector<std::u16string> strings = RegistryStrings(data);
  return strings.empty() ? std::u16string() : std::move(strings.front());
}

}  // namespace vannix
