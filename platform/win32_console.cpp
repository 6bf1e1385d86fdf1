#include "platform/win32_console.h"

#include <windows.h>

#include <string>

namespace vannix::platform {
namespace {

void Write(DWORD which, std::u16string_view text) {
  const HANDLE handle = ::GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  DWORD mode = 0;
  DWORD written = 0;
  if (::GetConsoleMode(handle, &mode)) {
    ::WriteConsoleW(handle, wide, static_cast<DWORD>(length), &written, nullptr);
    return;
  }
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string utf8(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide, length, utf8.data(), size, nullptr, nullptr);
  ::WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

void WriteStandardOutput(std::u16string_view text) { Write(STD_OUTPUT_HANDLE, text); }
void WriteStandardError(std::u16string_view text) { Write(STD_ERROR_HANDLE, text); }

}  // namespace vannix::platform
