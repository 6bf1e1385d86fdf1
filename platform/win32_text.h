// The installer logic's UTF-16 text as the Win32 calls take it: the one conversion at the
// boundary (char16_t and wchar_t are both UTF-16 on Windows).
#pragma once

#include <string>

namespace vannix::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text crosses the boundary as is");

inline const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

}  // namespace vannix::platform
