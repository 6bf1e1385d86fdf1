// An in-memory Windows for the installer and the installation check: files, directories,
// links, name aliases (the WOW64 file-system redirector, Sysnative, short names), open handles
// with their sharing, the executable's resources, child processes, the registry with what of it
// is on the disk, CryptoAPI hashing, failures injected per call and occurrence, and a run
// stopped after any of its changes. Every call is logged so tests can check order and balance.
// Paths compare without regard to letter case, as on Windows.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/hashing.h"
#include "platform/platform.h"
#include "platform/registry.h"

namespace vannix::testing {

using platform::ProcAddress;
using platform::RawHandle;

struct Call {
  std::string name;
  std::u16string argument;  // the path, resource name, key or command line, where there is one
  RawHandle handle = 0;     // the handle the call took or returned
  // What the call was asked for, where a test needs it: MoveFileExW's flags, the access of
  // CreateFileW, RegOpenKeyExW and RegCreateKeyExW, WaitForSingleObject's time-out.
  std::uint32_t flags = 0;
  std::uint32_t disposition = 0;  // CreateFileW's
};

// Thrown by every call once a run is stopped (StopAfter): the process is gone, nothing it does
// changes anything any more. Releasing a handle does not throw, so that owners can unwind.
struct RunStopped {};

struct MessageBox {
  std::u16string text;
  std::u16string caption;
  std::uint32_t flags;
  bool ansi;
};

struct Node {
  std::u16string name;  // the path as first spelt
  std::vector<std::byte> bytes;
  std::uint32_t attributes = platform::kFileAttributeNormal;
  std::optional<std::u16string> link_target;  // a symbolic link
  std::uint64_t index = 0;                    // the file index: one per file, kept by a rename
  // Rights the file's security refuses to everyone: platform::kDelete, kFileWriteData.
  std::uint32_t denied = 0;
};

struct ProcessStart {
  std::optional<std::u16string> application;
  std::u16string command_line;
  bool inherit_handles;
  std::uint32_t creation_flags;
  std::optional<std::u16string> directory;
  platform::StartupInfo startup;
};

class FakePlatform : public platform::Platform,
                     public platform::Registry,
                     public platform::Hashing {
 public:
  FakePlatform();

  // --- Set-up -----------------------------------------------------------------------------
  std::u16string windows_directory = u"C:\\Windows";
  bool kernel32_loadable = true;
  bool has_is_wow64_process = true;
  bool user32_loadable = true;
  bool sfc_loadable = true;
  bool has_sfc_is_file_protected = true;
  // Files that Windows protects, as SfcIsFileProtected reports them.
  std::set<std::u16string> protected_files;
  bool version_loadable = true;  // version.dll
  // The fixed file version (FileVersionMS << 32 | FileVersionLS) of files with a version block.
  std::map<std::u16string, std::uint64_t> file_versions;
  // Files with a language satellite (.mui) holding this version block, which the plain version
  // calls read instead of the file's own; version.dll has the Ex calls (Vista on) or not (XP).
  std::map<std::u16string, std::uint64_t> satellite_versions;
  bool version_has_ex = true;
  std::int32_t wow64_flag = 0;  // what IsWow64Process stores
  bool child_hangs = false;  // a child never ends: a wait with a time limit times out
  // The name of the system's AES provider ("... (Prototype)" on XP SP3).
  std::u16string aes_provider = u"Microsoft Enhanced RSA and AES Cryptographic Provider";
  std::uint32_t write_limit = 0xFFFFFFFFu;  // the most one WriteFile call writes
  std::uint32_t child_exit_code = 0;
  std::map<std::u16string, std::u16string> environment = {{u"SYSTEMROOT", u"C:\\Windows"},
                                                          {u"WINDIR", u"C:\\Windows"}};
  // Runs when a child is created, as the child would (a fake regsvr32).
  std::function<void(const ProcessStart&)> on_child;
  // The size asked of each WriteFile call, failed ones included.
  std::vector<std::uint32_t> write_requests;
  // Each Sleep's milliseconds: the fake never sleeps.
  std::vector<std::uint32_t> sleeps;

  void AddResource(const std::u16string& stored_name, std::vector<std::byte> bytes);
  void AddFile(const std::u16string& path, std::vector<std::byte> bytes,
               std::uint32_t attributes = platform::kFileAttributeNormal);
  void AddDirectory(const std::u16string& path);
  // Another program removes the file (nothing is logged).
  void RemoveFile(const std::u16string& path);
  // Windows XP or Server 2003: no Task Scheduler 2.0 (taskschd.dll) in the system directories.
  void WithoutTaskScheduler();
  void AddLink(const std::u16string& path, const std::u16string& target, bool directory = false);
  // Every path that starts with `alias` (a whole file or directory name) means the same one
  // under `target`, as the WOW64 redirector maps System32 or a short name maps its long name.
  void AddAlias(const std::u16string& alias, const std::u16string& target);
  // What GetShortPathNameW reports for `path` (by default the path itself).
  void SetShortPath(const std::u16string& path, const std::u16string& short_path);
  // Another process holds the file open with this share mode (0: no sharing).
  void HoldOpen(const std::u16string& path, std::uint32_t share_mode);
  // Another process has the file loaded: its image is mapped, no handle is open. Windows then
  // refuses to replace or delete it (error 5) and to open it for writing (error 32).
  void LoadAsImage(const std::u16string& path);
  // The other processes holding the file, open or loaded, let go of it.
  void LetGo(const std::u16string& path);
  // The file's security refuses `rights` (platform::kDelete, kFileWriteData) to everyone.
  void DenyAccess(const std::u16string& path, std::uint32_t rights);
  void AddModule(std::uintptr_t base, std::uintptr_t size, const std::u16string& path);
  // The `occurrence`-th WriteFile call (1-based) writes at most `limit` bytes and reports them;
  // it reports success unless FailCall makes that call fail too.
  void LimitWrite(int occurrence, std::uint32_t limit);
  // The image's bytes from `offset` of the resource `stored_name` on, and all resources stored
  // after it, can no longer be read (the medium the program runs from went away).
  void LoseImageFrom(const std::u16string& stored_name, std::size_t offset);
  // Registry keys of the classes root (the 32-bit view), e.g. "CLSID\\{...}\\InprocServer32";
  // keys under HKEY_LOCAL_MACHINE begin with "HKLM\\". The views are not told apart.
  void AddRegistryKey(const std::u16string& key);
  void SetRegistryValue(const std::u16string& key, const std::u16string& name,
                        std::uint32_t type, std::vector<std::byte> data);
  void SetRegistryString(const std::u16string& key, const std::u16string& name,
                         const std::u16string& text, std::uint32_t type = platform::kRegSz);
  void DeleteRegistryKey(const std::u16string& key);
  void SetRegistryStrings(const std::u16string& key, const std::u16string& name,
                          const std::vector<std::u16string>& strings);
  // The strings of a REG_MULTI_SZ or REG_SZ value; none when it is absent.
  std::optional<std::vector<std::u16string>> RegistryStringsOf(const std::u16string& key,
                                                               const std::u16string& name) const;
  // Windows starts again: the registry is written to the disk, the renames MoveFileExW scheduled
  // are made in order (one whose source is gone is skipped, as Windows does), the list is
  // removed, and every other handle let go.
  void Restart();

  // The registry as it is on the disk. Windows writes a hive there when a key of it is flushed
  // (RegFlushKey), and otherwise some seconds later (LazyFlush). Modelled for the keys of
  // HKLM\SYSTEM and HKLM\SOFTWARE\Microsoft (Session Manager's renames, RunOnce, the task
  // store), which the installer flushes; the classes, which regsvr32 writes and nobody flushes,
  // are on the disk at once.
  void LazyFlush();
  // The power goes: what of those keys was not on the disk is lost, and the stopped run's
  // handles with the process (Restart follows).
  void LosePower();
  // A key written (or removed) the way another process does it: not on the disk yet.
  void WriteRegistryKeyAsService(const std::u16string& key);
  void DeleteRegistryKeyAsService(const std::u16string& key);

  // The run stops right after its `change`-th change (1-based) of the disk, the registry or
  // the task store: a file created, written, flushed, renamed, deleted or given attributes, a
  // key or value written or deleted, a hive flushed, a child started. From then on every call
  // throws RunStopped. 0: never.
  void StopAfter(int change);
  // Whether the run stopped; its process is gone: every handle it held is closed, calls work
  // again.
  bool Revive();
  int changes() const { return changes_; }

  // What the machine holds (files, held files, the registry on and off the disk), to be put
  // back as it was: a test that walks many sequences of runs starts each from a saved one.
  struct World;
  World Save() const;
  void Restore(const World& world);
  // A digest of what the machine holds: equal for machines no run could tell apart.
  std::string Fingerprint() const;
  // Forgets the calls made so far.
  void ClearCalls() { calls_.clear(); processes_.clear(); }

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
  bool Exists(const std::u16string& path) const;
  bool HasRegistryKey(const std::u16string& key) const;
  const Node& At(const std::u16string& path) const;
  std::vector<std::u16string> Paths() const;
  // Handles the programs acquired and have not released.
  int OpenHandles() const;
  const std::vector<MessageBox>& message_boxes() const { return boxes_; }
  const std::vector<ProcessStart>& processes() const { return processes_; }

  // --- platform::Platform -----------------------------------------------------------------
  RawHandle LoadLibraryW(const std::u16string& name) override;
  RawHandle LoadSystemLibrary(const std::u16string& name) override;
  ProcAddress GetProcAddress(RawHandle module, const char* name) override;
  bool FreeLibrary(RawHandle module) override;
  RawHandle GetCurrentProcess() override;
  bool CallIsWow64Process(ProcAddress function, RawHandle process, std::int32_t* wow64) override;
  std::uint32_t GetSystemWindowsDirectoryW(char16_t* buffer, std::uint32_t size) override;
  bool CallSfcIsFileProtected(ProcAddress function, const std::u16string& path) override;
  bool CallGetFileVersionInfoW(ProcAddress size_function, ProcAddress info_function,
                               const std::u16string& path, std::vector<std::byte>* block) override;
  bool CallGetFileVersionInfoExW(ProcAddress size_function, ProcAddress info_function,
                                 std::uint32_t flags, const std::u16string& path,
                                 std::vector<std::byte>* block) override;
  bool CallVerQueryValueW(ProcAddress function, const std::vector<std::byte>& block,
                          const std::u16string& sub_block, std::vector<std::byte>* value) override;
  RawHandle CreateFileW(const std::u16string& path, std::uint32_t access, std::uint32_t share_mode,
                        std::uint32_t disposition, std::uint32_t flags) override;
  bool WriteFile(RawHandle file, const std::byte* data, std::uint32_t size,
                 std::uint32_t* written) override;
  bool ReadFile(RawHandle file, std::byte* buffer, std::uint32_t size,
                std::uint32_t* read) override;
  bool FlushFileBuffers(RawHandle file) override;
  bool GetFileInformationByHandle(RawHandle file,
                                  platform::FileInformation* information) override;
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
                      const std::u16string* current_directory,
                      const platform::StartupInfo& startup,
                      platform::ProcessInformation* info) override;
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

  // --- platform::Registry, platform::Hashing -------------------------------------------------
  std::int32_t RegOpenKeyExW(RawHandle key, const std::u16string& subkey, std::uint32_t access,
                             RawHandle* result) override;
  std::int32_t RegEnumKeyExW(RawHandle key, std::uint32_t index, std::u16string* name) override;
  std::int32_t RegQueryValueExW(RawHandle key, const std::u16string& value_name,
                                std::uint32_t* type, std::vector<std::byte>* data) override;
  std::int32_t RegCloseKey(RawHandle key) override;
  std::int32_t RegCreateKeyExW(RawHandle key, const std::u16string& subkey, std::uint32_t access,
                               RawHandle* result) override;
  std::int32_t RegSetValueExW(RawHandle key, const std::u16string& value_name, std::uint32_t type,
                              const std::vector<std::byte>& data) override;
  std::int32_t RegDeleteValueW(RawHandle key, const std::u16string& value_name) override;
  std::int32_t RegFlushKey(RawHandle key) override;
  bool CryptAcquireContextW(RawHandle* provider, const std::u16string& provider_name,
                            std::uint32_t provider_type, std::uint32_t flags) override;
  bool CryptCreateHash(RawHandle provider, std::uint32_t algorithm, RawHandle* hash) override;
  bool CryptHashData(RawHandle hash, const std::byte* data, std::uint32_t size) override;
  bool CryptGetHashParam(RawHandle hash, std::uint32_t parameter,
                         std::vector<std::byte>* value) override;
  bool CryptDestroyHash(RawHandle hash) override;
  bool CryptReleaseContext(RawHandle provider) override;

  std::u16string own_module_path = u"C:\\Users\\admin\\Downloads\\setup_vannix.exe";

 private:
  enum class Kind { kFile, kFind, kProcess, kThread, kLibrary, kResource, kKey, kProvider, kHash };
  struct Open {
    Kind kind;
    std::u16string path = {};  // a file's or key's key in its map
    std::uint32_t access = 0;
    std::uint32_t share = 0;
    bool foreign = false;  // held by another process
    std::size_t resource = 0;
    std::size_t position = 0;       // a file's read position
    std::vector<std::byte> hashed = {};  // a hash's input
  };
  struct Module {
    std::uintptr_t base, size;
    std::u16string path;
  };
  struct RegistryValue {
    std::uint32_t type;
    std::vector<std::byte> data;
  };
  struct RegistryKey {
    std::u16string name;  // the last part of the path, as spelt
    std::map<std::u16string, RegistryValue> values;  // by upper-case name
  };

  // Logs the call and applies any injected failure; true when the call must fail. Throws
  // RunStopped once the run is stopped, but for a call that releases a handle.
  bool Enter(const std::string& call, const std::u16string& argument = {}, RawHandle handle = 0);
  // A change of the disk, the registry or the task store made: where the run stops.
  void Changed();
  RawHandle Load(const std::string& call, const std::u16string& name, bool loadable);
  void SetValue(const std::u16string& key, const std::u16string& name, std::uint32_t type,
                std::vector<std::byte> data, bool on_disk);
  bool Fail(std::uint32_t error);
  RawHandle NewHandle(Open open);
  Open* Handle(RawHandle handle, Kind kind);
  // The map key of a path: aliases applied, letter case folded.
  std::u16string Key(const std::u16string& path) const;
  bool SharingAllows(const std::u16string& key, std::uint32_t access, std::uint32_t share) const;
  // The version block of the file at `path` (or of its satellite), as version.dll reads it.
  bool VersionBlock(const std::u16string& path, bool neutral, std::vector<std::byte>* block);
  bool Readable(std::size_t resource, std::size_t offset, std::size_t size) const;
  std::int32_t RegistryStatus();
  // The registry path a key handle and a subkey name, or "" when the handle is no key.
  std::optional<std::u16string> RegistryPath(RawHandle key, const std::u16string& subkey);

  std::map<std::u16string, Node> nodes_;
  std::set<std::u16string> images_;  // keys of files another process has loaded
  std::vector<std::pair<std::u16string, std::u16string>> aliases_;
  std::map<std::u16string, std::u16string> short_paths_;
  std::vector<std::pair<std::u16string, std::vector<std::byte>>> resources_;
  std::optional<std::pair<std::size_t, std::size_t>> lost_from_;  // resource, offset
  std::map<std::u16string, RegistryKey> registry_;                // by upper-case path
  std::map<std::u16string, RegistryKey> registry_on_disk_;        // likewise
  int changes_ = 0;
  int stop_after_ = 0;
  bool stopped_ = false;
  std::map<RawHandle, Open> open_;
  std::vector<Module> modules_;
  std::vector<Call> calls_;
  std::map<std::string, int> call_counts_;
  std::map<std::pair<std::string, int>, std::uint32_t> failures_;
  std::map<std::pair<std::string, int>, bool> throws_;
  std::map<int, std::uint32_t> write_limits_;
  std::vector<MessageBox> boxes_;
  std::vector<ProcessStart> processes_;
  std::uint32_t last_error_ = 0;
  std::uint64_t next_index_ = 1;
  RawHandle next_handle_ = 0x100;
};

struct FakePlatform::World {
  std::map<std::u16string, Node> nodes;
  std::set<std::u16string> images;
  std::map<std::u16string, RegistryKey> registry, registry_on_disk;
  std::map<RawHandle, Open> open;
  std::uint64_t next_index;
};

// ASCII upper case, as the loader compares resource names.
std::u16string Upper(std::u16string_view text);

std::vector<std::byte> Bytes(std::size_t size, unsigned pattern = 1);

}  // namespace vannix::testing
