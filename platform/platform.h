// The Windows operations the installer makes, behind one interface.
//
// Each member mirrors one Win32 call closely (same name, same arguments in the same order, the
// same result convention) so that the installer logic reads like the Windows code it is, while
// it builds and is tested on any host. Handles are opaque integers: the Win32 implementation
// casts them, the test fake hands out its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vannix::platform {

using RawHandle = std::uintptr_t;
using ProcAddress = std::uintptr_t;

// Values of the Windows headers that the installer logic needs, without <windows.h>.
inline constexpr RawHandle kInvalidHandleValue = ~RawHandle{0};
inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kDelete = 0x00010000u;
inline constexpr std::uint32_t kFileWriteData = 0x2u;
inline constexpr std::uint32_t kFileShareRead = 0x1u;
inline constexpr std::uint32_t kFileShareWrite = 0x2u;
inline constexpr std::uint32_t kFileShareDelete = 0x4u;
inline constexpr std::uint32_t kFileReadAttributes = 0x80u;
inline constexpr std::uint32_t kCreateNew = 1;
inline constexpr std::uint32_t kCreateAlways = 2;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kFileAttributeReadOnly = 0x1u;
inline constexpr std::uint32_t kFileAttributeHidden = 0x2u;
inline constexpr std::uint32_t kFileAttributeSystem = 0x4u;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80u;
inline constexpr std::uint32_t kFileFlagSequentialScan = 0x08000000u;
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10u;
inline constexpr std::uint32_t kFileAttributeReparsePoint = 0x400u;
inline constexpr std::uint32_t kMoveFileReplaceExisting = 0x1u;
inline constexpr std::uint32_t kMoveFileDelayUntilReboot = 0x4u;
inline constexpr std::uint32_t kMoveFileWriteThrough = 0x8u;
inline constexpr std::uint16_t kRtRcdata = 10;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorPartialCopy = 299;
inline constexpr std::uint32_t kErrorNoAccess = 998;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorTimeout = 1460;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 0x102u;
inline constexpr std::uint32_t kStartfUseShowWindow = 0x1u;
inline constexpr std::uint32_t kCreateNewConsole = 0x10u;
inline constexpr std::uint32_t kNormalPriorityClass = 0x20u;
inline constexpr std::uint32_t kCreateNoWindow = 0x08000000u;
inline constexpr std::uint32_t kMbTaskModal = 0x2000u;
inline constexpr std::uint32_t kMbIconError = 0x10u;
inline constexpr std::uint32_t kMbOk = 0x0u;
inline constexpr std::uint32_t kFileVerGetNeutral = 0x2u;

// The fields of STARTUPINFOW that the installer sets; the rest are zero.
struct StartupInfo {
  std::uint32_t cb = 0;
  std::uint32_t dwFlags = 0;
  std::uint16_t wShowWindow = 0;
};

struct ProcessInformation {
  RawHandle hProcess = 0;
  RawHandle hThread = 0;
};

// The fields of BY_HANDLE_FILE_INFORMATION that the programs read; the two halves of the size
// and of the file index are joined.
struct FileInformation {
  std::uint32_t attributes = 0;
  std::uint32_t volume_serial = 0;
  std::uint64_t size = 0;
  std::uint64_t index = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Library and WOW64 probe.
  virtual RawHandle LoadLibraryW(const std::u16string& name) = 0;  // 0: not loaded
  // A library of the system directory (`name`, e.g. "sfc.dll"), loaded by its full path with
  // LOAD_WITH_ALTERED_SEARCH_PATH, so that neither it nor its own imports are ever looked for
  // in the program's folder; 0 when it cannot be loaded.
  virtual RawHandle LoadSystemLibrary(const std::u16string& name) = 0;
  virtual ProcAddress GetProcAddress(RawHandle module, const char* name) = 0;  // 0: absent
  virtual bool FreeLibrary(RawHandle module) = 0;
  virtual RawHandle GetCurrentProcess() = 0;
  // Calls the IsWow64Process found by GetProcAddress.
  virtual bool CallIsWow64Process(ProcAddress function, RawHandle process, std::int32_t* wow64) = 0;
  // The system's Windows directory: on a Remote Desktop Session Host, GetWindowsDirectoryW
  // would give a program not marked Terminal-Services-aware the user's private one.
  virtual std::uint32_t GetSystemWindowsDirectoryW(char16_t* buffer, std::uint32_t size) = 0;
  // Calls the SfcIsFileProtected found by GetProcAddress, with a null RPC handle.
  virtual bool CallSfcIsFileProtected(ProcAddress function, const std::u16string& path) = 0;
  // Calls the GetFileVersionInfoSizeW and GetFileVersionInfoW found by GetProcAddress: the
  // whole version block of the file at `path`; false when it has none or cannot be read.
  virtual bool CallGetFileVersionInfoW(ProcAddress size_function, ProcAddress info_function,
                                       const std::u16string& path,
                                       std::vector<std::byte>* block) = 0;
  // Calls the GetFileVersionInfoSizeExW and GetFileVersionInfoExW found by GetProcAddress (Vista
  // on) with `flags`: with kFileVerGetNeutral the block comes from the file itself, where the
  // plain calls take it from the file's language satellite (.mui) when there is one.
  virtual bool CallGetFileVersionInfoExW(ProcAddress size_function, ProcAddress info_function,
                                         std::uint32_t flags, const std::u16string& path,
                                         std::vector<std::byte>* block) = 0;
  // Calls the VerQueryValueW found by GetProcAddress: a copy of the value `sub_block` names.
  virtual bool CallVerQueryValueW(ProcAddress function, const std::vector<std::byte>& block,
                                  const std::u16string& sub_block,
                                  std::vector<std::byte>* value) = 0;

  // Files.
  virtual RawHandle CreateFileW(const std::u16string& path, std::uint32_t access,
                                std::uint32_t share_mode, std::uint32_t disposition,
                                std::uint32_t flags) = 0;  // kInvalidHandleValue on failure
  virtual bool WriteFile(RawHandle file, const std::byte* data, std::uint32_t size,
                         std::uint32_t* written) = 0;
  virtual bool ReadFile(RawHandle file, std::byte* buffer, std::uint32_t size,
                        std::uint32_t* read) = 0;
  virtual bool FlushFileBuffers(RawHandle file) = 0;
  virtual bool GetFileInformationByHandle(RawHandle file, FileInformation* information) = 0;
  virtual bool CloseHandle(RawHandle handle) = 0;
  virtual bool MoveFileExW(const std::u16string& from, const std::u16string& to,
                           std::uint32_t flags) = 0;
  virtual bool DeleteFileW(const std::u16string& path) = 0;
  virtual bool RemoveDirectoryW(const std::u16string& path) = 0;
  virtual std::uint32_t GetFileAttributesW(const std::u16string& path) = 0;
  virtual bool SetFileAttributesW(const std::u16string& path, std::uint32_t attributes) = 0;
  // The wrappers below size their buffers themselves; false when the call fails.
  virtual bool GetShortPathNameW(const std::u16string& path, std::u16string* short_path) = 0;
  virtual bool ExpandEnvironmentStringsW(const std::u16string& text, std::u16string* expanded) = 0;
  // Returns a find handle (kInvalidHandleValue when nothing matches) and the match's attributes.
  virtual RawHandle FindFirstFileW(const std::u16string& pattern, std::uint32_t* attributes) = 0;
  virtual bool FindClose(RawHandle find) = 0;
  virtual std::uint32_t GetLastError() = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;

  // Resources of the executable's own module.
  virtual RawHandle GetModuleHandleW() = 0;  // the executable's own module
  virtual RawHandle FindResourceW(RawHandle module, const std::u16string& name,
                                  std::uint16_t type) = 0;
  virtual RawHandle LoadResource(RawHandle module, RawHandle resource_info) = 0;
  virtual std::uint32_t SizeofResource(RawHandle module, RawHandle resource_info) = 0;
  virtual const std::byte* LockResource(RawHandle resource) = 0;
  virtual bool FreeResource(RawHandle resource) = 0;
  // Copies memory of `process` (here always the current one): a page that cannot be read, such
  // as one of an image whose file went away, is reported as a failure instead of raising a fault.
  virtual bool ReadProcessMemory(RawHandle process, const std::byte* address, std::byte* buffer,
                                 std::uint32_t size, std::uint32_t* read) = 0;

  // Child processes. `application` may be null; `command_line` is writable and NUL-terminated;
  // `current_directory` null means the caller's own.
  virtual bool CreateProcessW(const std::u16string* application, char16_t* command_line,
                              bool inherit_handles, std::uint32_t creation_flags,
                              const std::u16string* current_directory,
                              const StartupInfo& startup, ProcessInformation* info) = 0;
  virtual std::uint32_t WaitForSingleObject(RawHandle handle, std::uint32_t milliseconds) = 0;
  virtual bool GetExitCodeProcess(RawHandle process, std::uint32_t* exit_code) = 0;
  virtual bool TerminateProcess(RawHandle process, std::uint32_t exit_code) = 0;

  // Failure boxes. user32 is loaded only when a box is shown; 0 when it cannot be.
  virtual std::int32_t MessageBoxW(const std::u16string& text, const std::u16string& caption,
                                   std::uint32_t flags) = 0;
  virtual std::int32_t MessageBoxA(const std::string& text, const std::string& caption,
                                   std::uint32_t flags) = 0;
  // GetModuleHandleExW(FROM_ADDRESS) and GetModuleFileNameW: the module holding `address`.
  virtual bool ModuleFromAddress(std::uintptr_t address, std::uintptr_t* base,
                                 std::u16string* path) = 0;
  virtual std::u16string OwnModulePath() = 0;
};

}  // namespace vannix::platform
