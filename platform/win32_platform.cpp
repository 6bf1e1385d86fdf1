#include "platform/win32_platform.h"

#include <windows.h>
#include <ole2.h>

namespace vannix::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text crosses the boundary as is");
static_assert(sizeof(STARTUPINFOW) == 68, "the installer is a 32-bit process");

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

template <typename T>
RawHandle Raw(T value) {
  return reinterpret_cast<RawHandle>(value);
}

template <typename T>
T As(RawHandle value) {
  return reinterpret_cast<T>(value);
}

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

}  // namespace

RawHandle Win32Platform::LoadLibraryW(const std::u16string& name) {
  return Raw(::LoadLibraryW(Wide(name)));
}

ProcAddress Win32Platform::GetProcAddress(RawHandle module, const char* name) {
  return reinterpret_cast<ProcAddress>(::GetProcAddress(As<HMODULE>(module), name));
}

bool Win32Platform::FreeLibrary(RawHandle module) {
  return ::FreeLibrary(As<HMODULE>(module)) != FALSE;
}

RawHandle Win32Platform::GetCurrentProcess() { return Raw(::GetCurrentProcess()); }

bool Win32Platform::CallIsWow64Process(ProcAddress function, RawHandle process,
                                       std::int32_t* wow64) {
  BOOL flag = FALSE;
  const BOOL ok = reinterpret_cast<IsWow64ProcessFunction>(function)(As<HANDLE>(process), &flag);
  *wow64 = flag;
  return ok != FALSE;
}

std::uint32_t Win32Platform::GetWindowsDirectoryW(char16_t* buffer, std::uint32_t size) {
  return ::GetWindowsDirectoryW(reinterpret_cast<wchar_t*>(buffer), size);
}

RawHandle Win32Platform::CreateFileW(const std::u16string& path, std::uint32_t access,
                                     std::uint32_t share_mode, std::uint32_t disposition,
                                     std::uint32_t flags) {
  return Raw(::CreateFileW(Wide(path), access, share_mode, nullptr, disposition, flags, nullptr));
}

bool Win32Platform::WriteFile(RawHandle file, const std::byte* data, std::uint32_t size,
                              std::uint32_t* written) {
  DWORD count = 0;
  const BOOL ok = ::WriteFile(As<HANDLE>(file), data, size, &count, nullptr);
  *written = count;
  return ok != FALSE;
}

bool Win32Platform::CloseHandle(RawHandle handle) { return ::CloseHandle(As<HANDLE>(handle)) != FALSE; }

bool Win32Platform::MoveFileExW(const std::u16string& from, const std::u16string& to,
                                std::uint32_t flags) {
  return ::MoveFileExW(Wide(from), Wide(to), flags) != FALSE;
}

bool Win32Platform::DeleteFileW(const std::u16string& path) {
  return ::DeleteFileW(Wide(path)) != FALSE;
}

std::uint32_t Win32Platform::GetFileAttributesW(const std::u16string& path) {
  return ::GetFileAttributesW(Wide(path));
}

RawHandle Win32Platform::FindFirstFileW(const std::u16string& pattern, std::uint32_t* attributes) {
  WIN32_FIND_DATAW data{};
  const HANDLE find = ::FindFirstFileW(Wide(pattern), &data);
  *attributes = data.dwFileAttributes;
  return Raw(find);
}

bool Win32Platform::FindClose(RawHandle find) { return ::FindClose(As<HANDLE>(find)) != FALSE; }

std::uint32_t Win32Platform::GetLastError() { return ::GetLastError(); }

RawHandle Win32Platform::GetModuleHandleW() { return Raw(::GetModuleHandleW(nullptr)); }

RawHandle Win32Platform::FindResourceW(RawHandle module, const std::u16string& name,
                                       std::uint16_t type) {
  return Raw(::FindResourceW(As<HMODULE>(module), Wide(name), MAKEINTRESOURCEW(type)));
}

RawHandle Win32Platform::LoadResource(RawHandle module, RawHandle resource_info) {
  return Raw(::LoadResource(As<HMODULE>(module), As<HRSRC>(resource_info)));
}

std::uint32_t Win32Platform::SizeofResource(RawHandle module, RawHandle resource_info) {
  return ::SizeofResource(As<HMODULE>(module), As<HRSRC>(resource_info));
}

const std::byte* Win32Platform::LockResource(RawHandle resource) {
  return static_cast<const std::byte*>(::LockResource(As<HGLOBAL>(resource)));
}

bool Win32Platform::FreeResource(RawHandle resource) {
  // Obsolete on 32-bit Windows and always harmless; kept so every acquisition has its release.
  return ::FreeResource(As<HGLOBAL>(resource)) == FALSE;
}

bool Win32Platform::CreateProcessW(const std::u16string* application, char16_t* command_line,
                                   bool inherit_handles, std::uint32_t creation_flags,
                                   const StartupInfo& startup, ProcessInformation* info) {
  STARTUPINFOW startup_info{};
  startup_info.cb = startup.cb;
  startup_info.dwFlags = startup.dwFlags;
  startup_info.wShowWindow = startup.wShowWindow;
  PROCESS_INFORMATION process_info{};
  const BOOL ok = ::CreateProcessW(application ? Wide(*application) : nullptr,
                                   reinterpret_cast<wchar_t*>(command_line), nullptr, nullptr,
                                   inherit_handles ? TRUE : FALSE, creation_flags, nullptr,
                                   nullptr, &startup_info, &process_info);
  if (ok == FALSE) return false;
  info->hProcess = Raw(process_info.hProcess);
  info->hThread = Raw(process_info.hThread);
  return true;
}

std::uint32_t Win32Platform::WaitForSingleObject(RawHandle handle, std::uint32_t milliseconds) {
  return ::WaitForSingleObject(As<HANDLE>(handle), milliseconds);
}

bool Win32Platform::GetExitCodeProcess(RawHandle process, std::uint32_t* exit_code) {
  DWORD code = 0;
  const BOOL ok = ::GetExitCodeProcess(As<HANDLE>(process), &code);
  *exit_code = code;
  return ok != FALSE;
}

std::int32_t Win32Platform::OleInitialize() { return ::OleInitialize(nullptr); }
void Win32Platform::OleUninitialize() { ::OleUninitialize(); }
std::int32_t Win32Platform::CoInitialize() { return ::CoInitialize(nullptr); }
void Win32Platform::CoUninitialize() { ::CoUninitialize(); }

std::int32_t Win32Platform::MessageBoxW(const std::u16string& text, const std::u16string& caption,
                                        std::uint32_t flags) {
  return ::MessageBoxW(nullptr, Wide(text), Wide(caption), flags);
}

std::int32_t Win32Platform::MessageBoxA(const std::string& text, const std::string& caption,
                                        std::uint32_t flags) {
  return ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), flags);
}

bool Win32Platform::ModuleFromAddress(std::uintptr_t address, std::uintptr_t* base,
                                      std::u16string* path) {
  // A module is one allocation: its base is the module handle. VirtualQuery works on every
  // Windows the image declares (GetModuleHandleExW would not load on Windows 2000).
  MEMORY_BASIC_INFORMATION region{};
  if (::VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof(region)) == 0 ||
      region.AllocationBase == nullptr) {
    return false;
  }
  const auto module = static_cast<HMODULE>(region.AllocationBase);
  wchar_t name[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(module, name, MAX_PATH);
  if (length == 0) return false;  // memory that belongs to no module
  *base = reinterpret_cast<std::uintptr_t>(module);
  path->assign(reinterpret_cast<const char16_t*>(name), length);
  return true;
}

std::u16string Win32Platform::OwnModulePath() {
  wchar_t name[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, name, MAX_PATH);
  return std::u16string(reinterpret_cast<const char16_t*>(name), length);
}

void RestrictDllSearchToSystem32() {
  const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return;
  const auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(::GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (set_default != nullptr) set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace vannix::platform
