// The platform on real Windows: each member is the Win32 call of the same name.
#pragma once

#include "platform/platform.h"

namespace vannix::platform {

class Win32Platform final : public Platform {
 public:
  RawHandle LoadLibraryW(const std::u16string& name) override;
  RawHandle LoadSystemLibrary(const std::u16string& name) override;
  ProcAddress GetProcAddress(RawHandle module, const char* name) override;
  bool FreeLibrary(RawHandle module) override;
  RawHandle GetCurrentProcess() override;
  bool CallIsWow64Process(ProcAddress function, RawHandle process, std::int32_t* wow64) override;
  std::uint32_t GetSystemWindowsDirectoryW(char16_t* buffer, std::uint32_t size) override;
  bool CallSfcIsFileProtected(ProcAddress function, const std::u16string& path) override;
  bool CallGetFileVersionInfoExW(ProcAddress size_function, ProcAddress info_function,
                                 std::uint32_t flags, const std::u16string& path,
                                 std::vector<std::byte>* block) override;
  bool CallGetFileVersionInfoW(ProcAddress size_function, ProcAddress info_function,
                               const std::u16string& path, std::vector<std::byte>* block) override;
  bool CallVerQueryValueW(ProcAddress function, const std::vector<std::byte>& block,
                          const std::u16string& sub_block, std::vector<std::byte>* value) override;
  RawHandle CreateFileW(const std::u16string& path, std::uint32_t access, std::uint32_t share_mode,
                        std::uint32_t disposition, std::uint32_t flags) override;
  bool WriteFile(RawHandle file, const std::byte* data, std::uint32_t size,
                 std::uint32_t* written) override;
  bool ReadFile(RawHandle file, std::byte* buffer, std::uint32_t size,
                std::uint32_t* read) override;
  bool FlushFileBuffers(RawHandle file) override;
  bool GetFileInformationByHandle(RawHandle file, FileInformation* information) override;
  bool CloseHandle(RawHandle handle) override;
  bool MoveFileExW(const std::u16string& from, const std::u16string& to,
                   std::uint32_t flags) override;
  bool DeleteFileW(const std::u16string& path) override;
  bool RemoveDirectoryW(const std::u16string& path) override;
  std::uint32_t GetFileAttributesW(const std::u16string& path) override;
  bool SetFileAttributesW(const std::u16string& path, std::uint32_t attributes) override;
  bool GetShortPathNameW(const std::u16string& path, std::u16string* short_path) override;
  bool ExpandEnvironmentStringsW(const std::u16string& text, std::u16string* expanded) override;
  RawHandle FindFirstFileW(const std::u16string& pattern, std::uint32_t* attributes) override;
  bool FindClose(RawHandle find) override;
  std::uint32_t GetLastError() override;
  void Sleep(std::uint32_t milliseconds) override;
  RawHandle GetModuleHandleW() override;
  RawHandle FindResourceW(RawHandle module, const std::u16string& name,
                          std::uint16_t type) override;
  RawHandle LoadResource(RawHandle module, RawHandle resource_info) override;
  std::uint32_t SizeofResource(RawHandle module, RawHandle resource_info) override;
  const std::byte* LockResource(RawHandle resource) override;
  bool FreeResource(RawHandle resource) override;
  bool ReadProcessMemory(RawHandle process, const std::byte* address, std::byte* buffer,
                         std::uint32_t size, std::uint32_t* read) override;
  bool CreateProcessW(const std::u16string* application, char16_t* command_line,
                      bool inherit_handles, std::uint32_t creation_flags,
                      const std::u16string* current_directory, const StartupInfo& startup,
                      ProcessInformation* info) override;
  std::uint32_t WaitForSingleObject(RawHandle handle, std::uint32_t milliseconds) override;
  bool GetExitCodeProcess(RawHandle process, std::uint32_t* exit_code) override;
  bool TerminateProcess(RawHandle process, std::uint32_t exit_code) override;
  std::int32_t MessageBoxW(const std::u16string& text, const std::u16string& caption,
                           std::uint32_t flags) override;
  std::int32_t MessageBoxA(const std::string& text, const std::string& caption,
                           std::uint32_t flags) override;
  bool ModuleFromAddress(std::uintptr_t address, std::uintptr_t* base,
                         std::u16string* path) override;
  std::u16string OwnModulePath() override;
};

// Limits the DLL search of this process to System32, where the system offers it (it does from
// Windows 8 and on Windows 7 with KB2533623), else takes the current directory out of it;
// looked up at run time for the systems without either.
void RestrictDllSearchToSystem32();

}  // namespace vannix::platform
