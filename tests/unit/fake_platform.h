// An in-memory Windows for the installer logic: files, directories, links, open handles with
// their sharing, the executable's payload resources, child processes, and failures injected
// per call and occurrence. Every call is logged so tests can check order and balance.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vannix::testing {

using platform::ProcAddress;
using platform::RawHandle;

struct Call {
  std::string name;
  std::u16string argument;  // the path, resource name or command line, where the call has one
  RawHandle handle = 0;     // the handle the call took or returned
};

struct MessageBox {
  std::u16string text;
  std::u16string caption;
  std::uint32_t flags;
  bool ansi;
};

struct Node {
  std::vector<std::byte> bytes;
  std::uint32_t attributes = platform::kFileAttributeNormal;
  std::optional<std::u16string> link_target;  // a symbolic link
};

struct ProcessStart {
  std::optional<std::u16string> application;
  std::u16string command_line;
  bool inherit_handles;
  std::uint32_t creation_flags;
  platform::StartupInfo startup;
};

class FakePlatform : public platform::Platform {
 public:
  FakePlatform();

  // --- Set-up -----------------------------------------------------------------------------
  std::u16string windows_directory = u"C:\\Windows";
  bool kernel32_loadable = true;
  bool has_is_wow64_process = true;
  std::int32_t wow64_flag = 0;  // what IsWow64Process stores
  std::uint32_t write_limit = 0xFFFFFFFFu;  // the most one WriteFile call writes
  std::uint32_t child_exit_code = 0;
  // Runs when a child is created, as the child would (a fake regsvr32).
  std::function<void(const ProcessStart&)> on_child;
  // The size asked of each WriteFile call, failed ones included.
  std::vector<std::uint32_t> write_requests;

  void AddResource(const std::u16string& stored_name, std::vector<std::byte> bytes);
  void AddFile(const std::u16string& path, std::vector<std::byte> bytes);
  void AddDirectory(const std::u16string& path);
  void AddLink(const std::u16string& path, const std::u16string& target, bool directory = false);
  // Another process holds the file open with this share mode (0: no sharing).
  void HoldOpen(const std::u16string& path, std::uint32_t share_mode);
  void AddModule(std::uintptr_t base, std::uintptr_t size, const std::u16string& path);

  // The `occurrence`-th call (1-based) of `call` fails with `error`; 0 fails every call.
  void FailCall(const std::string& call, int occurrence, std::uint32_t error);
  // The `occurrence`-th call of `call` raises a C++ exception, as a broken service would.
  void ThrowFromCall(const std::string& call, int occurrence);

  // --- Inspection ---------------------------------------------------------------------------
  const std::vector<Call>& calls() const { return calls_; }
  std::vector<std::string> CallNames() const;
  int CountOf(const std::string& call) const;
  // Index of the first call named `call` with `argument` at or after `from`; -1 if none.
  int IndexOf(const std::string& call, const std::u16string& argument = {}, int from = 0) const;
  bool Exists(const std::u16string& path) const { return nodes_.count(path) != 0; }
  const Node& At(const std::u16string& path) const { return nodes_.at(path); }
  std::vector<std::u16string> Paths() const;
  // Handles the installer acquired and has not released.
  int OpenHandles() const;
  const std::vector<MessageBox>& message_boxes() const { return boxes_; }
  const std::vector<ProcessStart>& processes() const { return processes_; }

  // --- platform::Platform -----------------------------------------------------------------
  RawHandle LoadLibraryW(const std::u16string& name) override;
  ProcAddress GetProcAddress(RawHandle module, const char* name) override;
  bool FreeLibrary(RawHandle module) override;
  RawHandle GetCurrentProcess() override;
  bool CallIsWow64Process(ProcAddress function, RawHandle process, std::int32_t* wow64) override;
  std::uint32_t GetWindowsDirectoryW(char16_t* buffer, std::uint32_t size) override;
  RawHandle CreateFileW(const std::u16string& path, std::uint32_t access, std::uint32_t share_mode,
                        std::uint32_t disposition, std::uint32_t flags) override;
  bool WriteFile(RawHandle file, const std::byte* data, std::uint32_t size,
                 std::uint32_t* written) override;
  bool CloseHandle(RawHandle handle) override;
  bool MoveFileExW(const std::u16string& from, const std::u16string& to,
                   std::uint32_t flags) override;
  bool DeleteFileW(const std::u16string& path) override;
  std::uint32_t GetFileAttributesW(const std::u16string& path) override;
  RawHandle FindFirstFileW(const std::u16string& pattern, std::uint32_t* attributes) override;
  bool FindClose(RawHandle find) override;
  std::uint32_t GetLastError() override;
  RawHandle GetModuleHandleW() override;
  RawHandle FindResourceW(RawHandle module, const std::u16string& name,
                          std::uint16_t type) override;
  RawHandle LoadResource(RawHandle module, RawHandle resource_info) override;
  std::uint32_t SizeofResource(RawHandle module, RawHandle resource_info) override;
  const std::byte* LockResource(RawHandle resource) override;
  bool FreeResource(RawHandle resource) override;
  bool CreateProcessW(const std::u16string* application, char16_t* command_line,
                      bool inherit_handles, std::uint32_t creation_flags,
                      const platform::StartupInfo& startup,
                      platform::ProcessInformation* info) override;
  std::uint32_t WaitForSingleObject(RawHandle handle, std::uint32_t milliseconds) override;
  bool GetExitCodeProcess(RawHandle process, std::uint32_t* exit_code) override;
  std::int32_t OleInitialize() override;
  void OleUninitialize() override;
  std::int32_t CoInitialize() override;
  void CoUninitialize() override;
  std::int32_t MessageBoxW(const std::u16string& text, const std::u16string& caption,
                           std::uint32_t flags) override;
  std::int32_t MessageBoxA(const std::string& text, const std::string& caption,
                           std::uint32_t flags) override;
  bool ModuleFromAddress(std::uintptr_t address, std::uintptr_t* base,
                         std::u16string* path) override;
  std::u16string OwnModulePath() override;

  std::u16string own_module_path = u"C:\\Users\\admin\\Downloads\\setup_vannix.exe";

 private:
  enum class Kind { kFile, kFind, kProcess, kThread, kLibrary, kResource };
  struct Open {
    Kind kind;
    std::u16string path;
    std::uint32_t access = 0;
    std::uint32_t share = 0;
    bool foreign = false;  // held by another process
    std::size_t resource = 0;
  };
  struct Module {
    std::uintptr_t base, size;
    std::u16string path;
  };

  // Logs the call and applies any injected failure; true when the call must fail.
  bool Enter(const std::string& call, const std::u16string& argument = {}, RawHandle handle = 0);
  bool Fail(std::uint32_t error);
  RawHandle NewHandle(Open open);
  bool SharingAllows(const std::u16string& path, std::uint32_t access, std::uint32_t share) const;
  bool ParentExists(const std::u16string& path) const;

  std::map<std::u16string, Node> nodes_;
  std::vector<std::pair<std::u16string, std::vector<std::byte>>> resources_;
  std::map<RawHandle, Open> open_;
  std::vector<Module> modules_;
  std::vector<Call> calls_;
  std::map<std::string, int> call_counts_;
  std::map<std::pair<std::string, int>, std::uint32_t> failures_;
  std::map<std::pair<std::string, int>, bool> throws_;
  std::vector<MessageBox> boxes_;
  std::vector<ProcessStart> processes_;
  std::uint32_t last_error_ = 0;
  RawHandle next_handle_ = 0x100;
};

// ASCII upper case, as the loader compares resource names.
std::u16string Upper(std::u16string_view text);

std::vector<std::byte> Bytes(std::size_t size, unsigned pattern = 1);

}  // namespace vannix::testing
