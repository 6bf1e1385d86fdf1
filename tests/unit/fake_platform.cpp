#include "tests/unit/fake_platform.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "installer/registry_text.h"
#include "installer/text.h"

namespace vannix::testing {
namespace {

constexpr RawHandle kModule = 0x00400000;
constexpr ProcAddress kIsWow64Process = 0x7C801234;
constexpr ProcAddress kSfcIsFileProtected = 0x76C31234;
constexpr ProcAddress kGetFileVersionInfoSizeW = 0x77C01000;
constexpr ProcAddress kGetFileVersionInfoW = 0x77C02000;
constexpr ProcAddress kVerQueryValueW = 0x77C03000;
constexpr ProcAddress kGetFileVersionInfoSizeExW = 0x77C04000;
constexpr ProcAddress kGetFileVersionInfoExW = 0x77C05000;
constexpr std::uint32_t kErrorResourceTypeNotFound = 1813;
constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;

bool IsLibrary(const std::u16string& name, std::u16string_view file) {
  const std::u16string upper = Upper(name);
  return upper == file ||
         (upper.size() > file.size() && upper.ends_with(file) &&
          upper[upper.size() - file.size() - 1] == u'\\');
}
bool IsSfc(const std::u16string& name) { return IsLibrary(name, u"SFC.DLL"); }
bool IsVersion(const std::u16string& name) { return IsLibrary(name, u"VERSION.DLL"); }

void PutDword(std::vector<std::byte>& block, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) block[offset + i] = static_cast<std::byte>(value >> (8 * i));
}
constexpr RawHandle kCurrentProcess = ~RawHandle{0};  // the pseudo-handle (-1)
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorAlreadyExists = 183;
constexpr char16_t kSessionManager[] = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// Keys that reach the disk only when their hive is flushed or some seconds later.
bool Volatile(const std::u16string& upper_path) {
  return upper_path.starts_with(u"HKLM\\SYSTEM\\") ||
         upper_path.starts_with(u"HKLM\\SOFTWARE\\MICROSOFT\\");
}

// The hive a key lies in: "HKLM\SYSTEM" or "HKLM\SOFTWARE".
std::u16string HiveOf(const std::u16string& upper_path) {
  const auto second = upper_path.find(u'\\', upper_path.find(u'\\') + 1);
  return upper_path.substr(0, second);
}

bool IsRelease(const std::string& call) {
  return call == "CloseHandle" || call == "FindClose" || call == "FreeLibrary" ||
         call == "FreeResource" || call == "RegCloseKey" || call == "CryptDestroyHash" ||
         call == "CryptReleaseContext";
}

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
  // What a 32-bit program on 64-bit Windows reaches the native system directory by.
  AddAlias(u"C:\\Windows\\Sysnative", u"C:\\Windows\\System32");
  // Task Scheduler 2.0, as every Windows from Vista on has it.
  AddFile(u"C:\\Windows\\System32\\taskschd.dll", Bytes(64, 99));
  AddFile(u"C:\\Windows\\SysWOW64\\taskschd.dll", Bytes(64, 98));
}

void FakePlatform::WithoutTaskScheduler() {
  RemoveFile(u"C:\\Windows\\System32\\taskschd.dll");
  RemoveFile(u"C:\\Windows\\SysWOW64\\taskschd.dll");
}

// --- Set-up ---------------------------------------------------------------------------------

void FakePlatform::AddResource(const std::u16string& stored_name, std::vector<std::byte> bytes) {
  resources_.emplace_back(stored_name, std::move(bytes));
}

void FakePlatform::AddFile(const std::u16string& path, std::vector<std::byte> bytes,
                           std::uint32_t attributes) {
  const std::u16string key = Key(path);
  const auto it = nodes_.find(key);
  const std::uint64_t index = it != nodes_.end() ? it->second.index : next_index_++;
  const std::uint32_t denied = it != nodes_.end() ? it->second.denied : 0;  // kept by a rewrite
  nodes_[key] = Node{path, std::move(bytes), attributes, std::nullopt, index, denied};
}

void FakePlatform::AddDirectory(const std::u16string& path) {
  nodes_[Key(path)] = Node{path, {}, platform::kFileAttributeDirectory, std::nullopt, next_index_++};
}

void FakePlatform::RemoveFile(const std::u16string& path) { nodes_.erase(Key(path)); }

void FakePlatform::AddLink(const std::u16string& path, const std::u16string& target,
                           bool directory) {
  nodes_[Key(path)] = Node{path,
                           {},
                           platform::kFileAttributeReparsePoint |
                               (directory ? platform::kFileAttributeDirectory
                                          : platform::kFileAttributeNormal),
                           target,
                           next_index_++};
}

void FakePlatform::AddAlias(const std::u16string& alias, const std::u16string& target) {
  aliases_.emplace_back(Upper(alias), target);
}

void FakePlatform::SetShortPath(const std::u16string& path, const std::u16string& short_path) {
  short_paths_[Key(path)] = short_path;
}

void FakePlatform::HoldOpen(const std::u16string& path, std::uint32_t share_mode) {
  NewHandle(Open{Kind::kFile, Key(path), platform::kGenericRead | platform::kGenericWrite,
                 share_mode, true});
}

void FakePlatform::LoadAsImage(const std::u16string& path) { images_.insert(Key(path)); }

void FakePlatform::LetGo(const std::u16string& path) {
  const std::u16string key = Key(path);
  images_.erase(key);
  std::erase_if(open_, [&](const auto& entry) { return entry.second.foreign && entry.second.path == key; });
}

void FakePlatform::DenyAccess(const std::u16string& path, std::uint32_t rights) {
  nodes_.at(Key(path)).denied = rights;
}

void FakePlatform::AddModule(std::uintptr_t base, std::uintptr_t size, const std::u16string& path) {
  modules_.push_back(Module{base, size, path});
}

void FakePlatform::LimitWrite(int occurrence, std::uint32_t limit) {
  write_limits_[occurrence] = limit;
}

void FakePlatform::LoseImageFrom(const std::u16string& stored_name, std::size_t offset) {
  for (std::size_t i = 0; i < resources_.size(); ++i) {
    if (resources_[i].first == stored_name) lost_from_ = {i, offset};
  }
}

void FakePlatform::AddRegistryKey(const std::u16string& key) {
  for (std::size_t end = 0; end != std::u16string::npos;) {
    end = key.find(u'\\', end + 1);
    const std::u16string prefix = key.substr(0, end);
    auto& entry = registry_[Upper(prefix)];
    if (entry.name.empty()) entry.name = prefix.substr(prefix.rfind(u'\\') + 1);
    registry_on_disk_[Upper(prefix)].name = entry.name;
  }
}

void FakePlatform::SetRegistryValue(const std::u16string& key, const std::u16string& name,
                                    std::uint32_t type, std::vector<std::byte> data) {
  SetValue(key, name, type, std::move(data), true);
}

void FakePlatform::SetValue(const std::u16string& key, const std::u16string& name,
                            std::uint32_t type, std::vector<std::byte> data, bool on_disk) {
  if (on_disk) {
    AddRegistryKey(key);
    registry_on_disk_[Upper(key)].values[Upper(name)] = RegistryValue{type, data};
  } else {
    WriteRegistryKeyAsService(key);
  }
  const std::u16string path = Upper(key);
  registry_[path].values[Upper(name)] = RegistryValue{type, std::move(data)};
  if (!Volatile(path)) registry_on_disk_[path] = registry_[path];
}

void FakePlatform::SetRegistryString(const std::u16string& key, const std::u16string& name,
                                     const std::u16string& text, std::uint32_t type) {
  SetRegistryValue(key, name, type, RegistryString(text));
}

void FakePlatform::DeleteRegistryKey(const std::u16string& key) {
  DeleteRegistryKeyAsService(key);
  const std::u16string upper = Upper(key);
  std::erase_if(registry_on_disk_, [&](const auto& entry) {
    return entry.first == upper || entry.first.rfind(upper + u'\\', 0) == 0;
  });
}

void FakePlatform::WriteRegistryKeyAsService(const std::u16string& key) {
  for (std::size_t end = 0; end != std::u16string::npos;) {
    end = key.find(u'\\', end + 1);
    const std::u16string prefix = key.substr(0, end);
    auto& entry = registry_[Upper(prefix)];
    if (entry.name.empty()) entry.name = prefix.substr(prefix.rfind(u'\\') + 1);
    if (!Volatile(Upper(prefix))) registry_on_disk_[Upper(prefix)] = entry;
  }
}

void FakePlatform::DeleteRegistryKeyAsService(const std::u16string& key) {
  const std::u16string upper = Upper(key);
  const auto under = [&](const auto& entry) {
    return entry.first == upper || entry.first.rfind(upper + u'\\', 0) == 0;
  };
  std::erase_if(registry_, under);
  if (!Volatile(upper)) std::erase_if(registry_on_disk_, under);
}

void FakePlatform::LazyFlush() { registry_on_disk_ = registry_; }

void FakePlatform::LosePower() {
  std::erase_if(registry_, [](const auto& entry) { return Volatile(entry.first); });
  for (const auto& [path, key] : registry_on_disk_)
    if (Volatile(path)) registry_[path] = key;
  Revive();
}

void FakePlatform::StopAfter(int change) {
  stop_after_ = change == 0 ? 0 : changes_ + change;
}

bool FakePlatform::Revive() {
  const bool stopped = stopped_;
  stopped_ = false;
  stop_after_ = 0;
  std::erase_if(open_, [](const auto& entry) { return !entry.second.foreign; });
  return stopped;
}

void FakePlatform::Changed() {
  if (++changes_ != stop_after_) return;
  stopped_ = true;
  throw RunStopped{};
}

void FakePlatform::SetRegistryStrings(const std::u16string& key, const std::u16string& name,
                                      const std::vector<std::u16string>& strings) {
  std::vector<std::byte> data;
  for (const auto& text : strings) {
    const auto bytes = RegistryString(text);
    data.insert(data.end(), bytes.begin(), bytes.end());
  }
  data.push_back(std::byte{0});
  data.push_back(std::byte{0});
  SetRegistryValue(key, name, platform::kRegMultiSz, std::move(data));
}

std::optional<std::vector<std::u16string>> FakePlatform::RegistryStringsOf(
    const std::u16string& key, const std::u16string& name) const {
  const auto it = registry_.find(Upper(key));
  if (it == registry_.end()) return std::nullopt;
  const auto value = it->second.values.find(Upper(name));
  if (value == it->second.values.end()) return std::nullopt;
  auto strings = RegistryStrings(value->second.data);
  if (!strings.empty() && strings.back().empty()) strings.pop_back();  // the list's terminator
  return strings;
}

void FakePlatform::Restart() {
  LazyFlush();
  std::erase_if(open_, [](const auto& entry) { return entry.second.foreign; });
  images_.clear();
  const std::u16string key = kSessionManager;
  const auto path = [](const std::u16string& stored) {
    const auto drive = stored.find(u":\\");
    return drive == std::u16string::npos ? stored : stored.substr(drive - 1);
  };
  for (const std::u16string value : {u"PendingFileRenameOperations", u"PendingFileRenameOperations2"}) {
    const auto strings = RegistryStringsOf(key, value);
    if (!strings) continue;
    for (std::size_t i = 0; i + 1 < strings->size(); i += 2) {
      const auto source = nodes_.find(Key(path((*strings)[i])));
      if (source == nodes_.end()) continue;
      if ((*strings)[i + 1].empty()) {
        nodes_.erase(source);
        continue;
      }
      const std::u16string to = path((*strings)[i + 1]);
      Node moved = std::move(source->second);
      nodes_.erase(source);
      moved.name = to;
      nodes_[Key(to)] = std::move(moved);
    }
    registry_[Upper(key)].values.erase(Upper(value));
  }
  LazyFlush();
}

void FakePlatform::FailCall(const std::string& call, int occurrence, std::uint32_t error) {
  failures_[{call, occurrence}] = error;
}

void FakePlatform::ThrowFromCall(const std::string& call, int occurrence) {
  throws_[{call, occurrence}] = true;
}

FakePlatform::World FakePlatform::Save() const {
  return World{nodes_, images_, registry_, registry_on_disk_, open_, next_index_};
}

void FakePlatform::Restore(const World& world) {
  nodes_ = world.nodes;
  images_ = world.images;
  registry_ = world.registry;
  registry_on_disk_ = world.registry_on_disk;
  open_ = world.open;
  next_index_ = world.next_index;
}

std::string FakePlatform::Fingerprint() const {
  std::string out;
  const auto text = [&](const std::u16string& s) {
    out.append(reinterpret_cast<const char*>(s.data()), s.size() * 2);
    out += '\0';
  };
  const auto bytes = [&](const std::vector<std::byte>& b) {
    out += std::to_string(std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(b.data()), b.size())));
    out += '\0';
  };
  for (const auto& [key, node] : nodes_) {
    text(key);
    out += std::to_string(node.attributes) + ':' + std::to_string(node.denied);
    bytes(node.bytes);
  }
  for (const auto& key : images_) text(key);
  for (const auto* registry : {&registry_, &registry_on_disk_}) {
    out += '|';
    for (const auto& [path, key] : *registry) {
      text(path);
      for (const auto& [name, value] : key.values) {
        text(name);
        bytes(value.data);
      }
    }
  }
  return out;
}

// --- Inspection -----------------------------------------------------------------------------

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

bool FakePlatform::Exists(const std::u16string& path) const { return nodes_.count(Key(path)) != 0; }

bool FakePlatform::HasRegistryKey(const std::u16string& key) const {
  return registry_.count(Upper(key)) != 0;
}

const Node& FakePlatform::At(const std::u16string& path) const { return nodes_.at(Key(path)); }

std::vector<std::u16string> FakePlatform::Paths() const {
  std::vector<std::u16string> paths;
  for (const auto& [key, node] : nodes_) paths.push_back(node.name);
  return paths;
}

int FakePlatform::OpenHandles() const {
  return static_cast<int>(std::count_if(open_.begin(), open_.end(),
                                        [](const auto& entry) { return !entry.second.foreign; }));
}

// --- Machinery ------------------------------------------------------------------------------

bool FakePlatform::Enter(const std::string& call, const std::u16string& argument,
                         RawHandle handle) {
  if (stopped_ && !IsRelease(call)) throw RunStopped{};
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

FakePlatform::Open* FakePlatform::Handle(RawHandle handle, Kind kind) {
  auto it = open_.find(handle);
  if (it == open_.end() || it->second.kind != kind || it->second.foreign) return nullptr;
  return &it->second;
}

std::u16string FakePlatform::Key(const std::u16string& path) const {
  std::u16string upper = Upper(path);
  for (const auto& [alias, target] : aliases_) {
    if (upper.rfind(alias, 0) == 0 && (upper.size() == alias.size() || upper[alias.size()] == u'\\'))
      return Upper(target) + upper.substr(alias.size());
  }
  return upper;
}

bool FakePlatform::SharingAllows(const std::u16string& key, std::uint32_t access,
                                 std::uint32_t share) const {
  // The share flags' bits: read 1, write 2, delete 4.
  const auto wants = [](std::uint32_t acc) {
    return ((acc & platform::kGenericRead) ? 1u : 0u) |
           ((acc & (platform::kGenericWrite | platform::kFileWriteData)) ? 2u : 0u) |
           ((acc & platform::kDelete) ? 4u : 0u);
  };
  for (const auto& [handle, open] : open_) {
    if (open.kind != Kind::kFile || open.path != key) continue;
    // Both sides must share what the other side has or wants.
    if ((wants(access) & ~open.share) != 0 || (wants(open.access) & ~share) != 0) return false;
  }
  return true;
}

bool FakePlatform::Readable(std::size_t resource, std::size_t offset, std::size_t size) const {
  if (!lost_from_) return true;
  const auto [lost_resource, lost_offset] = *lost_from_;
  if (resource != lost_resource) return resource < lost_resource;
  return offset + size <= lost_offset;
}

std::int32_t FakePlatform::RegistryStatus() { return static_cast<std::int32_t>(last_error_); }

std::optional<std::u16string> FakePlatform::RegistryPath(RawHandle key,
                                                         const std::u16string& subkey) {
  if (key == platform::kHkeyClassesRoot) return Upper(subkey);
  if (key == platform::kHkeyLocalMachine) return u"HKLM\\" + Upper(subkey);
  const Open* open = Handle(key, Kind::kKey);
  if (open == nullptr) return std::nullopt;
  return open->path + u'\\' + Upper(subkey);
}

// --- platform::Platform ---------------------------------------------------------------------

// kernel32 by name (the WOW64 probe), or a library of the system directory.
RawHandle FakePlatform::LoadLibraryW(const std::u16string& name) {
  return Load("LoadLibraryW", name, kernel32_loadable);
}

RawHandle FakePlatform::LoadSystemLibrary(const std::u16string& name) {
  const bool loadable = IsSfc(name) || IsLibrary(name, u"SFC_OS.DLL") ? sfc_loadable
                        : IsVersion(name)                             ? version_loadable
                                                                      : true;
  return Load("LoadSystemLibrary", name, loadable);
}

RawHandle FakePlatform::Load(const std::string& call, const std::u16string& name, bool loadable) {
  if (Enter(call, name) || !loadable) {
    last_error_ = platform::kErrorFileNotFound;
    return 0;
  }
  const RawHandle handle = NewHandle(Open{Kind::kLibrary, name});
  calls_.back().handle = handle;
  return handle;
}

ProcAddress FakePlatform::GetProcAddress(RawHandle module, const char* name) {
  if (Enter("GetProcAddress", Widen(name), module)) return 0;
  const Open* library = Handle(module, Kind::kLibrary);
  if (library != nullptr && IsSfc(library->path))
    return has_sfc_is_file_protected && std::string(name) == "SfcIsFileProtected"
               ? kSfcIsFileProtected
               : 0;
  if (library != nullptr && IsVersion(library->path)) {
    const std::string wanted(name);
    return wanted == "GetFileVersionInfoSizeW" ? kGetFileVersionInfoSizeW
           : wanted == "GetFileVersionInfoW"   ? kGetFileVersionInfoW
           : wanted == "VerQueryValueW"        ? kVerQueryValueW
           : !version_has_ex                   ? 0
           : wanted == "GetFileVersionInfoSizeExW" ? kGetFileVersionInfoSizeExW
           : wanted == "GetFileVersionInfoExW"     ? kGetFileVersionInfoExW
                                               : 0;
  }
  if (!has_is_wow64_process) return 0;
  return std::string(name) == "IsWow64Process" ? kIsWow64Process : 0;
}

bool FakePlatform::FreeLibrary(RawHandle module) {
  Enter("FreeLibrary", {}, module);
  if (Handle(module, Kind::kLibrary) == nullptr) return Fail(kErrorInvalidHandle);
  open_.erase(module);
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

bool FakePlatform::CallSfcIsFileProtected(ProcAddress function, const std::u16string& path) {
  if (Enter("SfcIsFileProtected", path)) return false;
  if (function != kSfcIsFileProtected) return Fail(kErrorInvalidHandle);
  for (const auto& file : protected_files)
    if (Key(file) == Key(path)) return true;
  return Fail(platform::kErrorFileNotFound);
}

bool FakePlatform::CallGetFileVersionInfoW(ProcAddress size_function, ProcAddress info_function,
                                           const std::u16string& path,
                                           std::vector<std::byte>* block) {
  if (Enter("GetFileVersionInfoW", path)) return false;
  if (size_function != kGetFileVersionInfoSizeW || info_function != kGetFileVersionInfoW)
    return Fail(kErrorInvalidHandle);
  return VersionBlock(path, false, block);
}

bool FakePlatform::CallGetFileVersionInfoExW(ProcAddress size_function, ProcAddress info_function,
                                             std::uint32_t flags, const std::u16string& path,
                                             std::vector<std::byte>* block) {
  if (Enter("GetFileVersionInfoExW", path)) return false;
  if (size_function != kGetFileVersionInfoSizeExW || info_function != kGetFileVersionInfoExW)
    return Fail(kErrorInvalidHandle);
  return VersionBlock(path, (flags & platform::kFileVerGetNeutral) != 0, block);
}

bool FakePlatform::VersionBlock(const std::u16string& path, bool neutral,
                                std::vector<std::byte>* block) {
  auto versions = file_versions;
  if (!neutral) {
    for (const auto& [file, version] : satellite_versions) versions[file] = version;
  }
  for (const auto& [file, version] : versions) {
    if (Key(file) != Key(path) || !Exists(path)) continue;
    // The block holds only its VS_FIXEDFILEINFO here; VerQueryValueW hands it back whole.
    block->assign(52, std::byte{0});
    PutDword(*block, 0, kFixedFileInfoSignature);
    PutDword(*block, 8, static_cast<std::uint32_t>(version >> 32));
    PutDword(*block, 12, static_cast<std::uint32_t>(version));
    return true;
  }
  return Fail(Exists(path) ? kErrorResourceTypeNotFound : platform::kErrorFileNotFound);
}

bool FakePlatform::CallVerQueryValueW(ProcAddress function, const std::vector<std::byte>& block,
                                      const std::u16string& sub_block,
                                      std::vector<std::byte>* value) {
  if (Enter("VerQueryValueW", sub_block)) return false;
  if (function != kVerQueryValueW || sub_block != u"\\") return false;
  *value = block;
  return true;
}

std::uint32_t FakePlatform::GetSystemWindowsDirectoryW(char16_t* buffer, std::uint32_t size) {
  if (Enter("GetSystemWindowsDirectoryW")) return 0;
  const auto length = static_cast<std::uint32_t>(windows_directory.size());
  if (length + 1 > size) return length + 1;  // the size it needs; the buffer is untouched
  std::copy(windows_directory.begin(), windows_directory.end(), buffer);
  buffer[length] = u'\0';
  return length;
}

RawHandle FakePlatform::CreateFileW(const std::u16string& path, std::uint32_t access,
                                    std::uint32_t share_mode, std::uint32_t disposition,
                                    std::uint32_t flags) {
  if (Enter("CreateFileW", path)) return platform::kInvalidHandleValue;
  calls_.back().flags = access;
  calls_.back().disposition = disposition;
  std::u16string key = Key(path);
  std::u16string name = path;
  if (auto it = nodes_.find(key); it != nodes_.end() && it->second.link_target) {
    name = *it->second.link_target;
    key = Key(name);
  }
  auto it = nodes_.find(key);
  if (it != nodes_.end() && (it->second.attributes & platform::kFileAttributeDirectory)) {
    Fail(platform::kErrorAccessDenied);
    return platform::kInvalidHandleValue;
  }
  if (it == nodes_.end() && disposition == platform::kOpenExisting) {
    Fail(platform::kErrorFileNotFound);
    return platform::kInvalidHandleValue;
  }
  if (it != nodes_.end() && disposition == platform::kCreateNew) {
    Fail(platform::kErrorFileExists);
    return platform::kInvalidHandleValue;
  }
  // Windows refuses to overwrite a read-only file, and a hidden or system one unless the
  // caller asks for those attributes again.
  if (it != nodes_.end() && disposition == platform::kCreateAlways &&
      ((it->second.attributes & platform::kFileAttributeReadOnly) ||
       (it->second.attributes & ~flags &
        (platform::kFileAttributeHidden | platform::kFileAttributeSystem)))) {
    Fail(platform::kErrorAccessDenied);
    return platform::kInvalidHandleValue;
  }
  const bool writes = (access & (platform::kGenericWrite | platform::kFileWriteData)) != 0;
  if (it != nodes_.end() &&
      (it->second.denied & ((writes ? platform::kFileWriteData : 0u) | (access & platform::kDelete)))) {
    Fail(platform::kErrorAccessDenied);
    return platform::kInvalidHandleValue;
  }
  if (!SharingAllows(key, access, share_mode) || (writes && images_.count(key) != 0)) {
    Fail(platform::kErrorSharingViolation);
    return platform::kInvalidHandleValue;
  }
  const RawHandle handle = NewHandle(Open{Kind::kFile, key, access, share_mode});
  calls_.back().handle = handle;
  if (disposition == platform::kCreateAlways || disposition == platform::kCreateNew) {
    AddFile(it != nodes_.end() ? it->second.name : name, {});
    Changed();
  }
  return handle;
}

bool FakePlatform::WriteFile(RawHandle file, const std::byte* data, std::uint32_t size,
                             std::uint32_t* written) {
  *written = 0;
  write_requests.push_back(size);
  const bool failed = Enter("WriteFile", {}, file);
  const auto limit = write_limits_.find(call_counts_["WriteFile"]);
  // A failure injected without a limit writes nothing; with one, it writes that much first.
  if (failed && limit == write_limits_.end()) return false;
  Open* open = Handle(file, Kind::kFile);
  if (open == nullptr) return Fail(kErrorInvalidHandle);
  if ((open->access & platform::kGenericWrite) == 0) return Fail(platform::kErrorAccessDenied);
  std::uint32_t count = std::min(size, write_limit);
  if (limit != write_limits_.end()) count = std::min(count, limit->second);
  auto& bytes = nodes_.at(open->path).bytes;
  bytes.insert(bytes.end(), data, data + count);
  *written = count;
  if (count > 0) Changed();
  return !failed;
}

bool FakePlatform::ReadFile(RawHandle file, std::byte* buffer, std::uint32_t size,
                            std::uint32_t* read) {
  *read = 0;
  if (Enter("ReadFile", {}, file)) return false;
  Open* open = Handle(file, Kind::kFile);
  if (open == nullptr) return Fail(kErrorInvalidHandle);
  if ((open->access & platform::kGenericRead) == 0) return Fail(platform::kErrorAccessDenied);
  const auto& bytes = nodes_.at(open->path).bytes;
  const std::size_t count = std::min<std::size_t>(size, bytes.size() - std::min(open->position, bytes.size()));
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(open->position), count, buffer);
  open->position += count;
  *read = static_cast<std::uint32_t>(count);
  return true;
}

bool FakePlatform::FlushFileBuffers(RawHandle file) {
  if (Enter("FlushFileBuffers", {}, file)) return false;
  const Open* open = Handle(file, Kind::kFile);
  if (open == nullptr) return Fail(kErrorInvalidHandle);
  if ((open->access & platform::kGenericWrite) == 0) return Fail(platform::kErrorAccessDenied);
  Changed();
  return true;
}

bool FakePlatform::GetFileInformationByHandle(RawHandle file,
                                              platform::FileInformation* information) {
  if (Enter("GetFileInformationByHandle", {}, file)) return false;
  const Open* open = Handle(file, Kind::kFile);
  if (open == nullptr) return Fail(kErrorInvalidHandle);
  const Node& node = nodes_.at(open->path);
  information->attributes = node.attributes;
  information->volume_serial = 0x5EED1234u;
  information->size = node.bytes.size();
  information->index = node.index;
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
  calls_.back().flags = flags;
  const std::u16string from_key = Key(from), to_key = Key(to);
  auto source = nodes_.find(from_key);
  if (source == nodes_.end()) return Fail(platform::kErrorFileNotFound);
  if (flags & platform::kMoveFileDelayUntilReboot) {
    // Appended to Session Manager's list, as Windows does, on the disk only once the key is
    // flushed; nothing moves until Restart.
    auto strings = RegistryStringsOf(kSessionManager, u"PendingFileRenameOperations")
                       .value_or(std::vector<std::u16string>{});
    strings.push_back(u"\\??\\" + from);
    strings.push_back((flags & platform::kMoveFileReplaceExisting ? u"!\\??\\" : u"\\??\\") + to);
    std::vector<std::byte> data;
    for (const auto& text : strings) {
      const auto bytes = RegistryString(text);
      data.insert(data.end(), bytes.begin(), bytes.end());
    }
    data.insert(data.end(), {std::byte{0}, std::byte{0}});
    SetValue(kSessionManager, u"PendingFileRenameOperations", platform::kRegMultiSz,
             std::move(data), false);
    Changed();
    return true;
  }
  if (!SharingAllows(from_key, platform::kGenericRead | platform::kGenericWrite, 0))
    return Fail(platform::kErrorSharingViolation);
  if (auto target = nodes_.find(to_key); target != nodes_.end()) {
    if ((flags & platform::kMoveFileReplaceExisting) == 0) return Fail(kErrorAlreadyExists);
    if ((target->second.attributes &
         (platform::kFileAttributeDirectory | platform::kFileAttributeReadOnly)) ||
        (target->second.denied & platform::kDelete) || images_.count(to_key) != 0 ||
        !SharingAllows(to_key, platform::kGenericRead | platform::kGenericWrite, 0)) {
      return Fail(platform::kErrorAccessDenied);
    }
  }
  Node moved = std::move(source->second);
  nodes_.erase(source);
  moved.name = to;
  nodes_[to_key] = std::move(moved);
  Changed();
  return true;
}

bool FakePlatform::DeleteFileW(const std::u16string& path) {
  if (Enter("DeleteFileW", path)) return false;
  const std::u16string key = Key(path);
  auto it = nodes_.find(key);
  if (it == nodes_.end()) return Fail(platform::kErrorFileNotFound);
  // A directory, a directory's link (a junction) included, is removed with RemoveDirectoryW.
  if ((it->second.attributes & (platform::kFileAttributeReadOnly | platform::kFileAttributeDirectory)) ||
      (it->second.denied & platform::kDelete) || images_.count(key) != 0)
    return Fail(platform::kErrorAccessDenied);
  if (!SharingAllows(key, platform::kGenericRead | platform::kGenericWrite, 0))
    return Fail(platform::kErrorSharingViolation);
  nodes_.erase(it);
  Changed();
  return true;
}

bool FakePlatform::RemoveDirectoryW(const std::u16string& path) {
  if (Enter("RemoveDirectoryW", path)) return false;
  const std::u16string key = Key(path);
  auto it = nodes_.find(key);
  if (it == nodes_.end()) return Fail(platform::kErrorFileNotFound);
  if ((it->second.attributes & platform::kFileAttributeDirectory) == 0)
    return Fail(267);  // ERROR_DIRECTORY
  const bool empty = std::none_of(nodes_.begin(), nodes_.end(), [&](const auto& entry) {
    return entry.first.size() > key.size() && entry.first.rfind(key + u'\\', 0) == 0;
  });
  if (!it->second.link_target && !empty) return Fail(145);  // ERROR_DIR_NOT_EMPTY
  nodes_.erase(it);
  Changed();
  return true;
}

std::uint32_t FakePlatform::GetFileAttributesW(const std::u16string& path) {
  if (Enter("GetFileAttributesW", path)) return platform::kInvalidFileAttributes;
  auto it = nodes_.find(Key(path));
  if (it == nodes_.end()) {
    Fail(platform::kErrorFileNotFound);
    return platform::kInvalidFileAttributes;
  }
  return it->second.attributes;
}

bool FakePlatform::SetFileAttributesW(const std::u16string& path, std::uint32_t attributes) {
  if (Enter("SetFileAttributesW", path)) return false;
  auto it = nodes_.find(Key(path));
  if (it == nodes_.end()) return Fail(platform::kErrorFileNotFound);
  constexpr std::uint32_t kKept = platform::kFileAttributeDirectory | platform::kFileAttributeReparsePoint;
  it->second.attributes = (it->second.attributes & kKept) | attributes;
  Changed();
  return true;
}

bool FakePlatform::GetShortPathNameW(const std::u16string& path, std::u16string* short_path) {
  if (Enter("GetShortPathNameW", path)) return false;
  const std::u16string key = Key(path);
  if (nodes_.count(key) == 0) return Fail(platform::kErrorFileNotFound);
  const auto it = short_paths_.find(key);
  *short_path = it != short_paths_.end() ? it->second : path;
  return true;
}

bool FakePlatform::ExpandEnvironmentStringsW(const std::u16string& text,
                                             std::u16string* expanded) {
  if (Enter("ExpandEnvironmentStringsW", text)) return false;
  expanded->clear();
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t open = text.find(u'%', i);
    const std::size_t close = open == std::u16string::npos ? open : text.find(u'%', open + 1);
    if (close == std::u16string::npos) {
      expanded->append(text.substr(i));
      break;
    }
    expanded->append(text.substr(i, open - i));
    const auto variable = environment.find(Upper(text.substr(open + 1, close - open - 1)));
    expanded->append(variable != environment.end() ? variable->second
                                                   : text.substr(open, close - open + 1));
    i = close + 1;
  }
  return true;
}

RawHandle FakePlatform::FindFirstFileW(const std::u16string& pattern, std::uint32_t* attributes) {
  if (Enter("FindFirstFileW", pattern)) return platform::kInvalidHandleValue;
  auto it = nodes_.find(Key(pattern));
  if (it == nodes_.end()) {
    Fail(platform::kErrorFileNotFound);
    return platform::kInvalidHandleValue;
  }
  *attributes = it->second.attributes;
  const RawHandle handle = NewHandle(Open{Kind::kFind, Key(pattern)});
  calls_.back().handle = handle;
  return handle;
}

bool FakePlatform::FindClose(RawHandle find) {
  Enter("FindClose", {}, find);
  if (Handle(find, Kind::kFind) == nullptr) return Fail(kErrorInvalidHandle);
  open_.erase(find);
  return true;
}

std::uint32_t FakePlatform::GetLastError() { return last_error_; }

void FakePlatform::Sleep(std::uint32_t milliseconds) {
  Enter("Sleep");
  sleeps.push_back(milliseconds);
}

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
  const Open* open = Handle(resource, Kind::kResource);
  if (open == nullptr) return nullptr;
  return resources_[open->resource].second.data();
}

bool FakePlatform::FreeResource(RawHandle resource) {
  Enter("FreeResource", {}, resource);
  if (Handle(resource, Kind::kResource) == nullptr) return Fail(kErrorInvalidHandle);
  open_.erase(resource);
  return true;
}

bool FakePlatform::ReadProcessMemory(RawHandle process, const std::byte* address,
                                     std::byte* buffer, std::uint32_t size, std::uint32_t* read) {
  *read = 0;
  if (Enter("ReadProcessMemory", {}, process)) return false;
  if (process != kCurrentProcess) return Fail(kErrorInvalidHandle);
  for (std::size_t i = 0; i < resources_.size(); ++i) {
    const std::vector<std::byte>& data = resources_[i].second;
    if (address < data.data() || address + size > data.data() + data.size()) continue;
    const auto offset = static_cast<std::size_t>(address - data.data());
    if (!Readable(i, offset, size)) return Fail(platform::kErrorPartialCopy);
    std::memcpy(buffer, address, size);
    *read = size;
    return true;
  }
  return Fail(platform::kErrorNoAccess);  // not memory of the image
}

bool FakePlatform::CreateProcessW(const std::u16string* application, char16_t* command_line,
                                  bool inherit_handles, std::uint32_t creation_flags,
                                  const std::u16string* current_directory,
                                  const platform::StartupInfo& startup,
                                  platform::ProcessInformation* info) {
  const std::u16string line(command_line);
  if (Enter("CreateProcessW", line)) return false;
  const auto optional = [](const std::u16string* text) {
    return text ? std::optional<std::u16string>(*text) : std::nullopt;
  };
  ProcessStart start{optional(application), line, inherit_handles, creation_flags,
                     optional(current_directory), startup};
  processes_.push_back(start);
  info->hProcess = NewHandle(Open{Kind::kProcess, line});
  info->hThread = NewHandle(Open{Kind::kThread, line});
  if (on_child) on_child(start);
  Changed();
  return true;
}

std::uint32_t FakePlatform::WaitForSingleObject(RawHandle handle, std::uint32_t milliseconds) {
  Enter("WaitForSingleObject", {}, handle);
  calls_.back().flags = milliseconds;
  return child_hangs && milliseconds != platform::kInfinite ? platform::kWaitTimeout
                                                            : platform::kWaitObject0;
}

bool FakePlatform::TerminateProcess(RawHandle process, std::uint32_t exit_code) {
  if (Enter("TerminateProcess", {}, process)) return false;
  calls_.back().flags = exit_code;
  return Handle(process, Kind::kProcess) != nullptr || Fail(kErrorInvalidHandle);
}

bool FakePlatform::GetExitCodeProcess(RawHandle process, std::uint32_t* exit_code) {
  if (Enter("GetExitCodeProcess", {}, process)) return false;
  if (Handle(process, Kind::kProcess) == nullptr) return Fail(kErrorInvalidHandle);
  *exit_code = child_exit_code;
  return true;
}

std::int32_t FakePlatform::MessageBoxW(const std::u16string& text, const std::u16string& caption,
                                       std::uint32_t flags) {
  Enter("MessageBoxW", text);
  if (!user32_loadable) return 0;
  boxes_.push_back(MessageBox{text, caption, flags, false});
  return 1;  // IDOK
}

std::int32_t FakePlatform::MessageBoxA(const std::string& text, const std::string& caption,
                                       std::uint32_t flags) {
  Enter("MessageBoxA", Widen(text));
  if (!user32_loadable) return 0;
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

// --- platform::Registry, platform::Hashing ---------------------------------------------------------------------

std::int32_t FakePlatform::RegOpenKeyExW(RawHandle key, const std::u16string& subkey,
                                         std::uint32_t access, RawHandle* result) {
  *result = 0;
  if (Enter("RegOpenKeyExW", subkey, key)) return RegistryStatus();
  calls_.back().flags = access;
  const auto found = RegistryPath(key, subkey);
  if (!found) return static_cast<std::int32_t>(kErrorInvalidHandle);
  const std::u16string path = *found;
  if (registry_.count(path) == 0) return static_cast<std::int32_t>(platform::kErrorFileNotFound);
  *result = NewHandle(Open{Kind::kKey, path, access});
  return platform::kErrorSuccess;
}

std::int32_t FakePlatform::RegEnumKeyExW(RawHandle key, std::uint32_t index,
                                         std::u16string* name) {
  if (Enter("RegEnumKeyExW", {}, key)) return RegistryStatus();
  const Open* open = Handle(key, Kind::kKey);
  if (open == nullptr) return static_cast<std::int32_t>(kErrorInvalidHandle);
  const std::u16string prefix = open->path + u'\\';
  std::uint32_t seen = 0;
  for (const auto& [path, entry] : registry_) {
    if (path.rfind(prefix, 0) != 0 || path.find(u'\\', prefix.size()) != std::u16string::npos)
      continue;
    if (seen++ == index) {
      *name = entry.name;
      return platform::kErrorSuccess;
    }
  }
  return platform::kErrorNoMoreItems;
}

std::int32_t FakePlatform::RegQueryValueExW(RawHandle key, const std::u16string& value_name,
                                            std::uint32_t* type, std::vector<std::byte>* data) {
  if (Enter("RegQueryValueExW", value_name, key)) return RegistryStatus();
  const Open* open = Handle(key, Kind::kKey);
  if (open == nullptr) return static_cast<std::int32_t>(kErrorInvalidHandle);
  const auto& values = registry_.at(open->path).values;
  const auto it = values.find(Upper(value_name));
  if (it == values.end()) return static_cast<std::int32_t>(platform::kErrorFileNotFound);
  *type = it->second.type;
  *data = it->second.data;
  return platform::kErrorSuccess;
}

std::int32_t FakePlatform::RegCloseKey(RawHandle key) {
  Enter("RegCloseKey", {}, key);
  if (Handle(key, Kind::kKey) == nullptr) return static_cast<std::int32_t>(kErrorInvalidHandle);
  open_.erase(key);
  return platform::kErrorSuccess;
}

std::int32_t FakePlatform::RegCreateKeyExW(RawHandle key, const std::u16string& subkey,
                                           std::uint32_t access, RawHandle* result) {
  *result = 0;
  if (Enter("RegCreateKeyExW", subkey, key)) return RegistryStatus();
  calls_.back().flags = access;
  const auto path = RegistryPath(key, subkey);
  if (!path) return static_cast<std::int32_t>(kErrorInvalidHandle);
  WriteRegistryKeyAsService(*path);
  *result = NewHandle(Open{Kind::kKey, *path, access});
  Changed();
  return platform::kErrorSuccess;
}

std::int32_t FakePlatform::RegSetValueExW(RawHandle key, const std::u16string& value_name,
                                          std::uint32_t type, const std::vector<std::byte>& data) {
  if (Enter("RegSetValueExW", value_name, key)) return RegistryStatus();
  const Open* open = Handle(key, Kind::kKey);
  if (open == nullptr) return static_cast<std::int32_t>(kErrorInvalidHandle);
  SetValue(open->path, value_name, type, data, false);
  Changed();
  return platform::kErrorSuccess;
}

std::int32_t FakePlatform::RegDeleteValueW(RawHandle key, const std::u16string& value_name) {
  if (Enter("RegDeleteValueW", value_name, key)) return RegistryStatus();
  const Open* open = Handle(key, Kind::kKey);
  if (open == nullptr) return static_cast<std::int32_t>(kErrorInvalidHandle);
  if (registry_.at(open->path).values.erase(Upper(value_name)) == 0)
    return static_cast<std::int32_t>(platform::kErrorFileNotFound);
  if (!Volatile(open->path)) registry_on_disk_[open->path] = registry_.at(open->path);
  Changed();
  return platform::kErrorSuccess;
}

std::int32_t FakePlatform::RegFlushKey(RawHandle key) {
  if (Enter("RegFlushKey", {}, key)) return RegistryStatus();
  const Open* open = Handle(key, Kind::kKey);
  if (open == nullptr) return static_cast<std::int32_t>(kErrorInvalidHandle);
  constexpr std::uint32_t kKeyQueryValue = 0x0001;  // part of KEY_READ
  if ((open->access & kKeyQueryValue) == 0)
    return static_cast<std::int32_t>(platform::kErrorAccessDenied);
  calls_.back().argument = open->path;
  const std::u16string hive = HiveOf(open->path);
  const auto in_hive = [&](const auto& entry) { return HiveOf(entry.first) == hive; };
  std::erase_if(registry_on_disk_, in_hive);
  for (const auto& entry : registry_)
    if (in_hive(entry)) registry_on_disk_.insert(entry);
  Changed();
  return platform::kErrorSuccess;
}

bool FakePlatform::CryptAcquireContextW(RawHandle* provider, const std::u16string& provider_name,
                                        std::uint32_t provider_type, std::uint32_t flags) {
  *provider = 0;
  if (Enter("CryptAcquireContextW", provider_name)) return false;
  if (provider_type != platform::kProvRsaAes || flags != platform::kCryptVerifyContext)
    return Fail(0x80090014u);  // NTE_BAD_PROV_TYPE
  if (provider_name != aes_provider) return Fail(0x80090019u);  // NTE_KEYSET_NOT_DEF
  *provider = NewHandle(Open{Kind::kProvider});
  return true;
}

bool FakePlatform::CryptCreateHash(RawHandle provider, std::uint32_t algorithm, RawHandle* hash) {
  *hash = 0;
  if (Enter("CryptCreateHash", {}, provider)) return false;
  if (Handle(provider, Kind::kProvider) == nullptr) return Fail(kErrorInvalidHandle);
  if (algorithm != platform::kCalgSha256) return Fail(0x80090008u);  // NTE_BAD_ALGID
  *hash = NewHandle(Open{Kind::kHash});
  return true;
}

bool FakePlatform::CryptHashData(RawHandle hash, const std::byte* data, std::uint32_t size) {
  if (Enter("CryptHashData", {}, hash)) return false;
  Open* open = Handle(hash, Kind::kHash);
  if (open == nullptr) return Fail(kErrorInvalidHandle);
  open->hashed.insert(open->hashed.end(), data, data + size);
  return true;
}

bool FakePlatform::CryptGetHashParam(RawHandle hash, std::uint32_t parameter,
                                     std::vector<std::byte>* value) {
  if (Enter("CryptGetHashParam", {}, hash)) return false;
  const Open* open = Handle(hash, Kind::kHash);
  if (open == nullptr) return Fail(kErrorInvalidHandle);
  if (parameter != platform::kHpHashVal) return Fail(0x80090009u);  // NTE_BAD_FLAGS
  value->resize(32);
  unsigned int length = 0;
  EVP_Digest(open->hashed.data(), open->hashed.size(),
             reinterpret_cast<unsigned char*>(value->data()), &length, EVP_sha256(), nullptr);
  return true;
}

bool FakePlatform::CryptDestroyHash(RawHandle hash) {
  Enter("CryptDestroyHash", {}, hash);
  if (Handle(hash, Kind::kHash) == nullptr) return Fail(kErrorInvalidHandle);
  open_.erase(hash);
  return true;
}

bool FakePlatform::CryptReleaseContext(RawHandle provider) {
  Enter("CryptReleaseContext", {}, provider);
  if (Handle(provider, Kind::kProvider) == nullptr) return Fail(kErrorInvalidHandle);
  open_.erase(provider);
  return true;
}

}  // namespace vannix::testing
