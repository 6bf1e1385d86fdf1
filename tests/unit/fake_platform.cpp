#include "tests/unit/fake_platform.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "installer/text.h"

namespace vannix::testing {
namespace {

constexpr RawHandle kModule = 0x00400000;
constexpr ProcAddress kIsWow64Process = 0x7C801234;
constexpr RawHandle kCurrentProcess = ~RawHandle{0};  // the pseudo-handle (-1)
constexpr std::int32_t kEFail = static_cast<std::int32_t>(0x80004005u);
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorAlreadyExists = 183;

}  // namespace

std::u16string Upper(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return out;
}

std::vector<std::byte> Bytes(std::size_t size, unsigned pattern) {
  std::vector<std::byte> bytes(size);
  std::uint32_t state = pattern * 2654435761u + 1;
  for (auto& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<std::byte>(state >> 24);
  }
  return bytes;
}

FakePlatform::FakePlatform() {
  AddDirectory(u"C:\\Windows");
  AddDirectory(u"C:\\Windows\\System32");
  AddDirectory(u"C:\\Windows\\SysWOW64");
}

void FakePlatform::AddResource(const std::u16string& stored_name, std::vector<std::byte> bytes) {
  resources_.emplace_back(stored_name, std::move(bytes));
}

void FakePlatform::AddFile(const std::u16string& path, std::vector<std::byte> bytes) {
  nodes_[path] = Node{std::move(bytes), platform::kFileAttributeNormal, std::nullopt};
}

void FakePlatform::AddDirectory(const std::u16string& path) {
  nodes_[path] = Node{{}, platform::kFileAttributeDirectory, std::nullopt};
}

void FakePlatform::AddLink(const std::u16string& path, const std::u16string& target,
                           bool directory) {
  nodes_[path] = Node{{},
                      platform::kFileAttributeReparsePoint |
                          (directory ? platform::kFileAttributeDirectory
                                     : platform::kFileAttributeNormal),
                      target};
}

void FakePlatform::HoldOpen(const std::u16string& path, std::uint32_t share_mode) {
  NewHandle(Open{Kind::kFile, path, platform::kGenericRead | platform::kGenericWrite, share_mode,
                 true});
}

void FakePlatform::AddModule(std::uintptr_t base, std::uintptr_t size, const std::u16string& path) {
  modules_.push_back(Module{base, size, path});
}

void FakePlatform::FailCall(const std::string& call, int occurrence, std::uint32_t error) {
  failures_[{call, occurrence}] = error;
}

void FakePlatform::ThrowFromCall(const std::string& call, int occurrence) {
  throws_[{call, occurrence}] = true;
}

std::vector<std::string> FakePlatform::CallNames() const {
  std::vector<std::string> names;
  for (const auto& call : calls_) names.push_back(call.name);
  return names;
}

int FakePlatform::CountOf(const std::string& call) const {
  return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                        [&](const Call& c) { return c.name == call; }));
}

int FakePlatform::IndexOf(const std::string& call, const std::u16string& argument,
                          int from) const {
  for (int i = std::max(from, 0); i < static_cast<int>(calls_.size()); ++i) {
    const auto& c = calls_[static_cast<std::size_t>(i)];
    if (c.name == call && (argument.empty() || c.argument == argument)) return i;
  }
  return -1;
}

std::vector<std::u16string> FakePlatform::Paths() const {
  std::vector<std::u16string> paths;
  for (const auto& [path, node] : nodes_) paths.push_back(path);
  return paths;
}

int FakePlatform::OpenHandles() const {
  return static_cast<int>(std::count_if(open_.begin(), open_.end(),
                                        [](const auto& entry) { return !entry.second.foreign; }));
}

bool FakePlatform::Enter(const std::string& call, const std::u16string& argument,
                         RawHandle handle) {
  calls_.push_back(Call{call, argument, handle});
  const int occurrence = ++call_counts_[call];
  for (const int key : {occurrence, 0}) {
    if (throws_.count({call, key})) throw std::runtime_error("injected failure in " + call);
  }
  for (const int key : {occurrence, 0}) {
    if (auto it = failures_.find({call, key}); it != failures_.end()) {
      last_error_ = it->second;
      return true;
    }
  }
  return false;
}

bool FakePlatform::Fail(std::uint32_t error) {
  last_error_ = error;
  return false;
}

RawHandle FakePlatform::NewHandle(Open open) {
  const RawHandle handle = next_handle_;
  next_handle_ += 4;
  open_.emplace(handle, std::move(open));
  return handle;
}

bool FakePlatform::SharingAllows(const std::u16string& path, std::uint32_t access,
                                 std::uint32_t share) const {
  const auto wants = [](std::uint32_t acc) {
    return ((acc & platform::kGenericRead) ? 1u : 0u) | ((acc & platform::kGenericWrite) ? 2u : 0u);
  };
  for (const auto& [handle, open] : open_) {
    if (open.kind != Kind::kFile || open.path != path) continue;
    // Both sides must share what the other side has or wants.
    if ((wants(access) & ~open.share) != 0 || (wants(open.access) & ~share) != 0) return false;
  }
  return true;
}

RawHandle FakePlatform::LoadLibraryW(const std::u16string& name) {
  if (Enter("LoadLibraryW", name) || !kernel32_loadable) {
    last_error_ = platform::kErrorFileNotFound;
    return 0;
  }
  const RawHandle handle = NewHandle(Open{Kind::kLibrary, name});
  calls_.back().handle = handle;
  return handle;
}

ProcAddress FakePlatform::GetProcAddress(RawHandle module, const char* name) {
  if (Enter("GetProcAddress", Widen(name), module) || !has_is_wow64_process) return 0;
  return std::string(name) == "IsWow64Process" ? kIsWow64Process : 0;
}

bool FakePlatform::FreeLibrary(RawHandle module) {
  Enter("FreeLibrary", {}, module);
  auto it = open_.find(module);
  if (it == open_.end() || it->second.kind != Kind::kLibrary) return Fail(kErrorInvalidHandle);
  open_.erase(it);
  return true;
}

RawHandle FakePlatform::GetCurrentProcess() {
  Enter("GetCurrentProcess");
  return kCurrentProcess;
}

bool FakePlatform::CallIsWow64Process(ProcAddress function, RawHandle process,
                                      std::int32_t* wow64) {
  if (Enter("IsWow64Process", {}, process)) return false;
  if (function != kIsWow64Process || process != kCurrentProcess) return Fail(kErrorInvalidHandle);
  *wow64 = wow64_flag;
  return true;
}

std::uint32_t FakePlatform::GetWindowsDirectoryW(char16_t* buffer, std::uint32_t size) {
  if (Enter("GetWindowsDirectoryW")) return 0;
  const auto length = static_cast<std::uint32_t>(windows_directory.size());
  if (length + 1 > size) return length + 1;  // the size it needs; the buffer is untouched
  std::copy(windows_directory.begin(), windows_directory.end(), buffer);
  buffer[length] = u'\0';
  return length;
}

RawHandle FakePlatform::CreateFileW(const std::u16string& path, std::uint32_t access,
                                    std::uint32_t share_mode, std::uint32_t disposition,
                                    std::uint32_t /*flags*/) {
  if (Enter("CreateFileW", path)) return platform::kInvalidHandleValue;
  std::u16string resolved = path;
  if (auto it = nodes_.find(path); it != nodes_.end() && it->second.link_target) {
    resolved = *it->second.link_target;
  }
  auto it = nodes_.find(resolved);
  if (it != nodes_.end() && (it->second.attributes & platform::kFileAttributeDirectory)) {
    Fail(platform::kErrorAccessDenied);
    return platform::kInvalidHandleValue;
  }
  if (it == nodes_.end() && disposition == platform::kOpenExisting) {
    Fail(platform::kErrorFileNotFound);
    return platform::kInvalidHandleValue;
  }
  if (!SharingAllows(resolved, access, share_mode)) {
    Fail(platform::kErrorSharingViolation);
    return platform::kInvalidHandleValue;
  }
  if (disposition == platform::kCreateAlways) AddFile(resolved, {});
  const RawHandle handle = NewHandle(Open{Kind::kFile, resolved, access, share_mode});
  calls_.back().handle = handle;
  return handle;
}

bool FakePlatform::WriteFile(RawHandle file, const std::byte* data, std::uint32_t size,
                             std::uint32_t* written) {
  *written = 0;
  write_requests.push_back(size);
  if (Enter("WriteFile", {}, file)) return false;
  auto it = open_.find(file);
  if (it == open_.end() || it->second.kind != Kind::kFile) return Fail(kErrorInvalidHandle);
  if ((it->second.access & platform::kGenericWrite) == 0) return Fail(platform::kErrorAccessDenied);
  const std::uint32_t count = std::min(size, write_limit);
  auto& bytes = nodes_.at(it->second.path).bytes;
  bytes.insert(bytes.end(), data, data + count);
  *written = count;
  return true;
}

bool FakePlatform::CloseHandle(RawHandle handle) {
  Enter("CloseHandle", {}, handle);
  auto it = open_.find(handle);
  if (it == open_.end() || it->second.foreign ||
      (it->second.kind != Kind::kFile && it->second.kind != Kind::kProcess &&
       it->second.kind != Kind::kThread)) {
    return Fail(kErrorInvalidHandle);
  }
  open_.erase(it);
  return true;
}

bool FakePlatform::MoveFileExW(const std::u16string& from, const std::u16string& to,
                               std::uint32_t flags) {
  if (Enter("MoveFileExW", to)) return false;
  auto source = nodes_.find(from);
  if (source == nodes_.end()) return Fail(platform::kErrorFileNotFound);
  if (!SharingAllows(from, platform::kGenericRead | platform::kGenericWrite, 0))
    return Fail(platform::kErrorSharingViolation);
  if (auto target = nodes_.find(to); target != nodes_.end()) {
    if ((flags & platform::kMoveFileReplaceExisting) == 0) return Fail(kErrorAlreadyExists);
    if ((target->second.attributes & platform::kFileAttributeDirectory) ||
        !SharingAllows(to, platform::kGenericRead | platform::kGenericWrite, 0)) {
      return Fail(platform::kErrorAccessDenied);
    }
  }
  Node moved = std::move(source->second);
  nodes_.erase(source);
  nodes_[to] = std::move(moved);
  return true;
}

bool FakePlatform::DeleteFileW(const std::u16string& path) {
  if (Enter("DeleteFileW", path)) return false;
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return Fail(platform::kErrorFileNotFound);
  if (!SharingAllows(path, platform::kGenericRead | platform::kGenericWrite, 0))
    return Fail(platform::kErrorAccessDenied);
  nodes_.erase(it);
  return true;
}

std::uint32_t FakePlatform::GetFileAttributesW(const std::u16string& path) {
  if (Enter("GetFileAttributesW", path)) return platform::kInvalidFileAttributes;
  auto it = nodes_.find(path);
  if (it == nodes_.end()) {
    Fail(platform::kErrorFileNotFound);
    return platform::kInvalidFileAttributes;
  }
  return it->second.attributes;
}

RawHandle FakePlatform::FindFirstFileW(const std::u16string& pattern, std::uint32_t* attributes) {
  if (Enter("FindFirstFileW", pattern)) return platform::kInvalidHandleValue;
  auto it = nodes_.find(pattern);
  if (it == nodes_.end()) {
    Fail(platform::kErrorFileNotFound);
    return platform::kInvalidHandleValue;
  }
  *attributes = it->second.attributes;
  const RawHandle handle = NewHandle(Open{Kind::kFind, pattern});
  calls_.back().handle = handle;
  return handle;
}

bool FakePlatform::FindClose(RawHandle find) {
  Enter("FindClose", {}, find);
  auto it = open_.find(find);
  if (it == open_.end() || it->second.kind != Kind::kFind) return Fail(kErrorInvalidHandle);
  open_.erase(it);
  return true;
}

std::uint32_t FakePlatform::GetLastError() { return last_error_; }

RawHandle FakePlatform::GetModuleHandleW() {
  Enter("GetModuleHandleW");
  return kModule;
}

RawHandle FakePlatform::FindResourceW(RawHandle module, const std::u16string& name,
                                      std::uint16_t type) {
  if (Enter("FindResourceW", name)) return 0;
  if (module != kModule || type != platform::kRtRcdata) {
    Fail(1813);  // ERROR_RESOURCE_TYPE_NOT_FOUND
    return 0;
  }
  // The loader upper-cases the requested name and compares it whole with the stored names.
  const std::u16string wanted = Upper(name);
  for (std::size_t i = 0; i < resources_.size(); ++i) {
    if (resources_[i].first == wanted) return static_cast<RawHandle>(i + 1);
  }
  Fail(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
  return 0;
}

RawHandle FakePlatform::LoadResource(RawHandle module, RawHandle resource_info) {
  if (Enter("LoadResource")) return 0;
  if (module != kModule || resource_info == 0 || resource_info > resources_.size()) return 0;
  const RawHandle handle =
      NewHandle(Open{Kind::kResource, {}, 0, 0, false, static_cast<std::size_t>(resource_info - 1)});
  calls_.back().handle = handle;
  return handle;
}

std::uint32_t FakePlatform::SizeofResource(RawHandle module, RawHandle resource_info) {
  if (Enter("SizeofResource", {}, resource_info)) return 0;
  if (module != kModule || resource_info == 0 || resource_info > resources_.size()) return 0;
  return static_cast<std::uint32_t>(resources_[resource_info - 1].second.size());
}

const std::byte* FakePlatform::LockResource(RawHandle resource) {
  if (Enter("LockResource", {}, resource)) return nullptr;
  auto it = open_.find(resource);
  if (it == open_.end() || it->second.kind != Kind::kResource) return nullptr;
  return resources_[it->second.resource].second.data();
}

bool FakePlatform::FreeResource(RawHandle resource) {
  Enter("FreeResource", {}, resource);
  auto it = open_.find(resource);
  if (it == open_.end() || it->second.kind != Kind::kResource) return Fail(kErrorInvalidHandle);
  open_.erase(it);
  return true;
}

bool FakePlatform::CreateProcessW(const std::u16string* application, char16_t* command_line,
                                  bool inherit_handles, std::uint32_t creation_flags,
                                  const platform::StartupInfo& startup,
                                  platform::ProcessInformation* info) {
  const std::u16string line(command_line);
  if (Enter("CreateProcessW", line)) return false;
  ProcessStart start{application ? std::optional<std::u16string>(*application) : std::nullopt,
                     line, inherit_handles, creation_flags, startup};
  processes_.push_back(start);
  if (on_child) on_child(start);
  info->hProcess = NewHandle(Open{Kind::kProcess, line});
  info->hThread = NewHandle(Open{Kind::kThread, line});
  return true;
}

std::uint32_t FakePlatform::WaitForSingleObject(RawHandle handle, std::uint32_t milliseconds) {
  Enter("WaitForSingleObject", {}, handle);
  return milliseconds == platform::kInfinite ? 0 : 0x102;  // WAIT_OBJECT_0 / WAIT_TIMEOUT
}

bool FakePlatform::GetExitCodeProcess(RawHandle process, std::uint32_t* exit_code) {
  if (Enter("GetExitCodeProcess", {}, process)) return false;
  auto it = open_.find(process);
  if (it == open_.end() || it->second.kind != Kind::kProcess) return Fail(kErrorInvalidHandle);
  *exit_code = child_exit_code;
  return true;
}

std::int32_t FakePlatform::OleInitialize() { return Enter("OleInitialize") ? kEFail : 0; }
void FakePlatform::OleUninitialize() { Enter("OleUninitialize"); }
std::int32_t FakePlatform::CoInitialize() { return Enter("CoInitialize") ? kEFail : 0; }
void FakePlatform::CoUninitialize() { Enter("CoUninitialize"); }

std::int32_t FakePlatform::MessageBoxW(const std::u16string& text, const std::u16string& caption,
                                       std::uint32_t flags) {
  Enter("MessageBoxW", text);
  boxes_.push_back(MessageBox{text, caption, flags, false});
  return 1;  // IDOK
}

std::int32_t FakePlatform::MessageBoxA(const std::string& text, const std::string& caption,
                                       std::uint32_t flags) {
  Enter("MessageBoxA", Widen(text));
  boxes_.push_back(MessageBox{Widen(text), Widen(caption), flags, true});
  return 1;
}

bool FakePlatform::ModuleFromAddress(std::uintptr_t address, std::uintptr_t* base,
                                     std::u16string* path) {
  for (const auto& module : modules_) {
    if (address >= module.base && address < module.base + module.size) {
      *base = module.base;
      *path = module.path;
      return true;
    }
  }
  return false;
}

std::u16string FakePlatform::OwnModulePath() { return own_module_path; }

}  // namespace vannix::testing
