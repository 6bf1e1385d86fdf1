#include "platform/win32_platform.h"

#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32_text.h"

namespace vannix::platform {
namespace {

static_assert(sizeof(STARTUPINFOW) == 68, "the installer is a 32-bit process");

template <typename T>
RawHandle Raw(T value) {
  return reinterpret_cast<RawHandle>(value);
}

template <typename T>
T As(RawHandle value) {
  return reinterpret_cast<T>(value);
}

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
using SfcIsFileProtectedFunction = BOOL(WINAPI*)(HANDLE, LPCWSTR);
using GetFileVersionInfoSizeWFunction = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using GetFileVersionInfoWFunction = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using GetFileVersionInfoSizeExWFunction = DWORD(WINAPI*)(DWORD, LPCWSTR, LPDWORD);
using GetFileVersionInfoExWFunction = BOOL(WINAPI*)(DWORD, LPCWSTR, DWORD, DWORD, LPVOID);
using VerQueryValueWFunction = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
using SetDllDirectoryWFunction = BOOL(WINAPI*)(LPCWSTR);
using MessageBoxWFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
using MessageBoxAFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);

HMODULE LoadFromSystemDirectory(const wchar_t* name) {
  wchar_t directory[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(directory, length) + L"\\" + name;
  // The library's own imports are looked for beside it, not beside the program.
  return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// An export of user32, loaded the first time a box is shown: a run that shows none never loads
// it. It stays loaded: unloading user32 from a thread it has made a GUI thread is not safe, and
// the process ends right after its box anyway.
template <typename Function>
Function User32Export(const char* name) {
  static const HMODULE user32 = LoadFromSystemDirectory(L"user32.dll");
  if (user32 == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(user32, name)));
}

// Calls a Win32 function that fills a buffer and returns the length it needs when the buffer
// is too small (GetShortPathNameW, ExpandEnvironmentStringsW), growing the buffer until it fits.
// `counts_nul` says whether the length of a success includes the terminating NUL.
template <typename Call>
bool FillGrowing(Call call, bool counts_nul, std::u16string* out) {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD length = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return false;
    if (length <= buffer.size() - (counts_nul ? 0 : 1)) {
      const DWORD text = counts_nul ? length - 1 : length;
      out->assign(reinterpret_cast<const char16_t*>(buffer.data()), text);
      return true;
    }
    buffer.resize(length + 1);
  }
  return false;
}

}  // namespace

RawHandle Win32Platform::LoadLibraryW(const std::u16string& name) {
  return Raw(::LoadLibraryW(Wide(name)));
}

RawHandle Win32Platform::LoadSystemLibrary(const std::u16string& name) {
  return Raw(LoadFromSystemDirectory(Wide(name)));
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

bool Win32Platform::CallSfcIsFileProtected(ProcAddress function, const std::u16string& path) {
  return reinterpret_cast<SfcIsFileProtectedFunction>(function)(nullptr, Wide(path)) != FALSE;
}

bool Win32Platform::CallGetFileVersionInfoW(ProcAddress size_function, ProcAddress info_function,
                                            const std::u16string& path,
                                            std::vector<std::byte>* block) {
  DWORD ignored = 0;
  const DWORD size =
      reinterpret_cast<GetFileVersionInfoSizeWFunction>(size_function)(Wide(path), &ignored);
  if (size == 0) return false;
  block->assign(size, std::byte{0});
  return reinterpret_cast<GetFileVersionInfoWFunction>(info_function)(Wide(path), 0, size,
                                                                       block->data()) != FALSE;
}

bool Win32Platform::CallGetFileVersionInfoExW(ProcAddress size_function,
                                              ProcAddress info_function, std::uint32_t flags,
                                              const std::u16string& path,
                                              std::vector<std::byte>* block) {
  DWORD ignored = 0;
  const DWORD size = reinterpret_cast<GetFileVersionInfoSizeExWFunction>(size_function)(
      flags, Wide(path), &ignored);
  if (size == 0) return false;
  block->assign(size, std::byte{0});
  return reinterpret_cast<GetFileVersionInfoExWFunction>(info_function)(
             flags, Wide(path), 0, size, block->data()) != FALSE;
}

bool Win32Platform::CallVerQueryValueW(ProcAddress function, const std::vector<std::byte>& block,
                                       const std::u16string& sub_block,
                                       std::vector<std::byte>* value) {
  void* found = nullptr;
  UINT length = 0;
  if (reinterpret_cast<VerQueryValueWFunction>(function)(block.data(), Wide(sub_block), &found,
                                                         &length) == FALSE ||
      found == nullptr) {
    return false;
  }
  const auto* first = static_cast<const std::byte*>(found);
  value->assign(first, first + length);
  return true;
}

std::uint32_t Win32Platform::GetSystemWindowsDirectoryW(char16_t* buffer, std::uint32_t size) {
  return ::GetSystemWindowsDirectoryW(reinterpret_cast<wchar_t*>(buffer), size);
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

bool Win32Platform::ReadFile(RawHandle file, std::byte* buffer, std::uint32_t size,
                             std::uint32_t* read) {
  DWORD count = 0;
  const BOOL ok = ::ReadFile(As<HANDLE>(file), buffer, size, &count, nullptr);
  *read = count;
  return ok != FALSE;
}

bool Win32Platform::FlushFileBuffers(RawHandle file) {
  return ::FlushFileBuffers(As<HANDLE>(file)) != FALSE;
}

bool Win32Platform::GetFileInformationByHandle(RawHandle file, FileInformation* information) {
  BY_HANDLE_FILE_INFORMATION data{};
  if (::GetFileInformationByHandle(As<HANDLE>(file), &data) == FALSE) return false;
  information->attributes = data.dwFileAttributes;
  information->volume_serial = data.dwVolumeSerialNumber;
  information->size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  information->index = (std::uint64_t{data.nFileIndexHigh} << 32) | data.nFileIndexLow;
  return true;
}

bool Win32Platform::CloseHandle(RawHandle handle) { return ::CloseHandle(As<HANDLE>(handle)) != FALSE; }

bool Win32Platform::MoveFileExW(const std::u16string& from, const std::u16string& to,
                                std::uint32_t flags) {
  return ::MoveFileExW(Wide(from), Wide(to), flags) != FALSE;
}

bool Win32Platform::DeleteFileW(const std::u16string& path) {
  return ::DeleteFileW(Wide(path)) != FALSE;
}

bool Win32Platform::RemoveDirectoryW(const std::u16string& path) {
  return ::RemoveDirectoryW(Wide(path)) != FALSE;
}

std::uint32_t Win32Platform::GetFileAttributesW(const std::u16string& path) {
  return ::GetFileAttributesW(Wide(path));
}

bool Win32Platform::SetFileAttributesW(const std::u16string& path, std::uint32_t attributes) {
  return ::SetFileAttributesW(Wide(path), attributes) != FALSE;
}

bool Win32Platform::GetShortPathNameW(const std::u16string& path, std::u16string* short_path) {
  // Success returns the length without the NUL; a short buffer, the size it needs with it.
  return FillGrowing([&](wchar_t* buffer, DWORD size) {
    return ::GetShortPathNameW(Wide(path), buffer, size);
  }, false, short_path);
}

bool Win32Platform::ExpandEnvironmentStringsW(const std::u16string& text,
                                              std::u16string* expanded) {
  // Both success and a short buffer return the size with the NUL.
  return FillGrowing([&](wchar_t* buffer, DWORD size) {
    return ::ExpandEnvironmentStringsW(Wide(text), buffer, size);
  }, true, expanded);
}

RawHandle Win32Platform::FindFirstFileW(const std::u16string& pattern, std::uint32_t* attributes) {
  WIN32_FIND_DATAW data{};
  const HANDLE find = ::FindFirstFileW(Wide(pattern), &data);
  *attributes = data.dwFileAttributes;
  return Raw(find);
}

bool Win32Platform::FindClose(RawHandle find) { return ::FindClose(As<HANDLE>(find)) != FALSE; }

std::uint32_t Win32Platform::GetLastError() { return ::GetLastError(); }

void Win32Platform::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

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

bool Win32Platform::ReadProcessMemory(RawHandle process, const std::byte* address,
                                      std::byte* buffer, std::uint32_t size, std::uint32_t* read) {
  SIZE_T count = 0;
  const BOOL ok = ::ReadProcessMemory(As<HANDLE>(process), address, buffer, size, &count);
  *read = static_cast<std::uint32_t>(count);
  return ok != FALSE;
}

bool Win32Platform::CreateProcessW(const std::u16string* application, char16_t* command_line,
                                   bool inherit_handles, std::uint32_t creation_flags,
                                   const std::u16string* current_directory,
                                   const StartupInfo& startup, ProcessInformation* info) {
  STARTUPINFOW startup_info{};
  startup_info.cb = startup.cb;
  startup_info.dwFlags = startup.dwFlags;
  startup_info.wShowWindow = startup.wShowWindow;
  PROCESS_INFORMATION process_info{};
  const BOOL ok = ::CreateProcessW(application ? Wide(*application) : nullptr,
                                   reinterpret_cast<wchar_t*>(command_line), nullptr, nullptr,
                                   inherit_handles ? TRUE : FALSE, creation_flags, nullptr,
                                   current_directory ? Wide(*current_directory) : nullptr,
                                   &startup_info, &process_info);
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

bool Win32Platform::TerminateProcess(RawHandle process, std::uint32_t exit_code) {
  return ::TerminateProcess(As<HANDLE>(process), exit_code) != FALSE;
}

std::int32_t Win32Platform::MessageBoxW(const std::u16string& text, const std::u16string& caption,
                                        std::uint32_t flags) {
  const auto show = User32Export<MessageBoxWFunction>("MessageBoxW");
  return show ? show(nullptr, Wide(text), Wide(caption), flags) : 0;
}

std::int32_t Win32Platform::MessageBoxA(const std::string& text, const std::string& caption,
                                        std::uint32_t flags) {
  const auto show = User32Export<MessageBoxAFunction>("MessageBoxA");
  return show ? show(nullptr, text.c_str(), caption.c_str(), flags) : 0;
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
  if (set_default != nullptr && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // Without it (Windows 7 without KB2533623, Vista, XP SP1 on) the current directory at least
  // leaves the search; the program's own folder stays in it, which is why every library is
  // loaded by its full path.
  const auto set_directory = reinterpret_cast<SetDllDirectoryWFunction>(
      reinterpret_cast<void*>(::GetProcAddress(kernel32, "SetDllDirectoryW")));
  if (set_directory != nullptr) set_directory(L"");
}

}  // namespace vannix::platform
