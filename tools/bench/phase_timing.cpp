// The installer's run split into phases (benchmarks only, never shipped).
//
// setup_vannix-phases.exe runs the installer's own logic (InstallComponents, in its process
// frame) over a decorator of the Win32 platform that times the calls of each phase with
// QueryPerformanceCounter: per catalogue entry the temporary file's create, the payload reads
// (ReadProcessMemory), the writes, the flush, the close, the rename, the child's start
// (CreateProcessW) and the wait for it, the file-attribute probes (GetFileAttributesW: the
// leftover at the temporary name, the target's existence) and the system probes (the WOW64 and
// Windows directory queries); whatever lies between the timed calls is "other". A
// new entry begins at each create of a staging copy (".vannix-next"). Built with
// BENCH_SKIP_FLUSH the flush is skipped (reported as done): the price of the guarantee that the
// rename never publishes a file whose data is not yet on the disk, measured in the same run.
//
// The figures go to C:\vannix-phases.txt as lines "entry=<i> <phase>=<seconds> ...", then
// "total=<seconds>" (wWinMain to the end of the run) and "startup=<seconds>" (the process's
// creation time to wWinMain, from GetProcessTimes).

#include <windows.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "installer/deploy.h"
#include "installer/process_frame.h"
#include "platform/win32_advapi32_on_demand.h"
#include "platform/win32_platform.h"

namespace {

using namespace vannix::platform;

enum Phase { kCreate, kRead, kWrite, kFlush, kClose, kRename, kAttributes, kSystem, kStart, kWait,
             kPhases };
constexpr std::array<const char*, kPhases> kPhaseNames{
    "create", "read", "write", "flush", "close", "rename", "attributes", "system", "start", "wait"};

double Now() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / frequency;
}

bool EndsWith(const std::u16string& text, std::u16string_view tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(),
                                                    tail.data(), tail.size()) == 0;
}

class PhaseTimingPlatform final : public Platform {
 public:
  explicit PhaseTimingPlatform(Platform& inner) : inner_(inner), began_(Now()) {}

  void Report(const char* path) {
    const double end = Now();
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) return;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      double timed = 0;
      std::fprintf(out, "entry=%u", static_cast<unsigned>(i));
      for (int p = 0; p < kPhases; ++p) {
        std::fprintf(out, " %s=%.6f", kPhaseNames[p], e.seconds[p]);
        timed += e.seconds[p];
      }
      const double until = i + 1 < entries_.size() ? entries_[i + 1].began : end;
      std::fprintf(out, " other=%.6f calls_write=%u\n", until - e.began - timed, e.writes);
    }
    std::fprintf(out, "before_first=%.6f\n",
                 (entries_.empty() ? end : entries_.front().began) - began_);
    std::fprintf(out, "total=%.6f\n", end - began_);
    FILETIME created, exited, kernel, user, now;
    if (::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) {
      ::GetSystemTimeAsFileTime(&now);
      const auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
      };
      // The process's age now, less the run timed above: creation to wWinMain.
      std::fprintf(out, "startup=%.6f\n",
                   static_cast<double>(ticks(now) - ticks(created)) / 1e7 - (Now() - began_));
    }
    std::fclose(out);
  }

  RawHandle LoadLibraryW(const std::u16string& name) override {
    return Timed(kSystem, [&] { return inner_.LoadLibraryW(name); });
  }
  ProcAddress GetProcAddress(RawHandle module, const char* name) override {
    return Timed(kSystem, [&] { return inner_.GetProcAddress(module, name); });
  }
  bool FreeLibrary(RawHandle module) override {
    return Timed(kSystem, [&] { return inner_.FreeLibrary(module); });
  }
  RawHandle GetCurrentProcess() override { return inner_.GetCurrentProcess(); }
  bool CallIsWow64Process(ProcAddress function, RawHandle process, std::int32_t* wow64) override {
    return Timed(kSystem, [&] { return inner_.CallIsWow64Process(function, process, wow64); });
  }
  std::uint32_t GetSystemWindowsDirectoryW(char16_t* buffer, std::uint32_t size) override {
    return Timed(kSystem, [&] { return inner_.GetSystemWindowsDirectoryW(buffer, size); });
  }
  bool CallSfcIsFileProtected(ProcAddress function, const std::u16string& path) override {
    return Timed(kSystem, [&] { return inner_.CallSfcIsFileProtected(function, path); });
  }
  bool CallGetFileVersionInfoW(ProcAddress size_function, ProcAddress info_function,
                               const std::u16string& path, std::vector<std::byte>* block) override {
    return inner_.CallGetFileVersionInfoW(size_function, info_function, path, block);
  }
  bool CallGetFileVersionInfoExW(ProcAddress size_function, ProcAddress info_function,
                                 std::uint32_t flags, const std::u16string& path,
                                 std::vector<std::byte>* block) override {
    return inner_.CallGetFileVersionInfoExW(size_function, info_function, flags, path, block);
  }
  bool CallVerQueryValueW(ProcAddress function, const std::vector<std::byte>& block,
                          const std::u16string& sub_block, std::vector<std::byte>* value) override {
    return inner_.CallVerQueryValueW(function, block, sub_block, value);
  }
  RawHandle CreateFileW(const std::u16string& path, std::uint32_t access, std::uint32_t share_mode,
                        std::uint32_t disposition, std::uint32_t flags) override {
    if (EndsWith(path, u".vannix-next")) entries_.push_back(Entry{Now()});
    return Timed(kCreate, [&] {
      return inner_.CreateFileW(path, access, share_mode, disposition, flags);
    });
  }
  bool WriteFile(RawHandle file, const std::byte* data, std::uint32_t size,
                 std::uint32_t* written) override {
    if (!entries_.empty()) ++entries_.back().writes;
    return Timed(kWrite, [&] { return inner_.WriteFile(file, data, size, written); });
  }
  bool ReadFile(RawHandle file, std::byte* buffer, std::uint32_t size,
                std::uint32_t* read) override {
    return inner_.ReadFile(file, buffer, size, read);
  }
  bool FlushFileBuffers(RawHandle file) override {
#ifdef BENCH_SKIP_FLUSH
    (void)file;
    return true;
#else
    return Timed(kFlush, [&] { return inner_.FlushFileBuffers(file); });
#endif
  }
  bool GetFileInformationByHandle(RawHandle file, FileInformation* information) override {
    return inner_.GetFileInformationByHandle(file, information);
  }
  bool CloseHandle(RawHandle handle) override {
    return Timed(kClose, [&] { return inner_.CloseHandle(handle); });
  }
  bool MoveFileExW(const std::u16string& from, const std::u16string& to,
                   std::uint32_t flags) override {
    return Timed(kRename, [&] { return inner_.MoveFileExW(from, to, flags); });
  }
  bool RemoveDirectoryW(const std::u16string& path) override {
    return inner_.RemoveDirectoryW(path);
  }
  bool DeleteFileW(const std::u16string& path) override { return inner_.DeleteFileW(path); }
  std::uint32_t GetFileAttributesW(const std::u16string& path) override {
    return Timed(kAttributes, [&] { return inner_.GetFileAttributesW(path); });
  }
  bool SetFileAttributesW(const std::u16string& path, std::uint32_t attributes) override {
    return inner_.SetFileAttributesW(path, attributes);
  }
  bool GetShortPathNameW(const std::u16string& path, std::u16string* short_path) override {
    return inner_.GetShortPathNameW(path, short_path);
  }
  bool ExpandEnvironmentStringsW(const std::u16string& text, std::u16string* expanded) override {
    return inner_.ExpandEnvironmentStringsW(text, expanded);
  }
  RawHandle FindFirstFileW(const std::u16string& pattern, std::uint32_t* attributes) override {
    return inner_.FindFirstFileW(pattern, attributes);
  }
  bool FindClose(RawHandle find) override { return inner_.FindClose(find); }
  std::uint32_t GetLastError() override { return inner_.GetLastError(); }
  void Sleep(std::uint32_t milliseconds) override { inner_.Sleep(milliseconds); }
  RawHandle GetModuleHandleW() override { return inner_.GetModuleHandleW(); }
  RawHandle FindResourceW(RawHandle module, const std::u16string& name,
                          std::uint16_t type) override {
    return inner_.FindResourceW(module, name, type);
  }
  RawHandle LoadResource(RawHandle module, RawHandle resource_info) override {
    return inner_.LoadResource(module, resource_info);
  }
  std::uint32_t SizeofResource(RawHandle module, RawHandle resource_info) override {
    return inner_.SizeofResource(module, resource_info);
  }
  const std::byte* LockResource(RawHandle resource) override {
    return inner_.LockResource(resource);
  }
  bool FreeResource(RawHandle resource) override { return inner_.FreeResource(resource); }
  bool ReadProcessMemory(RawHandle process, const std::byte* address, std::byte* buffer,
                         std::uint32_t size, std::uint32_t* read) override {
    return Timed(kRead, [&] {
      return inner_.ReadProcessMemory(process, address, buffer, size, read);
    });
  }
  bool CreateProcessW(const std::u16string* application, char16_t* command_line,
                      bool inherit_handles, std::uint32_t creation_flags,
                      const std::u16string* current_directory, const StartupInfo& startup,
                      ProcessInformation* info) override {
    return Timed(kStart, [&] {
      return inner_.CreateProcessW(application, command_line, inherit_handles, creation_flags,
                                   current_directory, startup, info);
    });
  }
  std::uint32_t WaitForSingleObject(RawHandle handle, std::uint32_t milliseconds) override {
    return Timed(kWait, [&] { return inner_.WaitForSingleObject(handle, milliseconds); });
  }
  bool GetExitCodeProcess(RawHandle process, std::uint32_t* exit_code) override {
    return inner_.GetExitCodeProcess(process, exit_code);
  }
  std::int32_t MessageBoxW(const std::u16string& text, const std::u16string& caption,
                           std::uint32_t flags) override {
    return inner_.MessageBoxW(text, caption, flags);
  }
  std::int32_t MessageBoxA(const std::string& text, const std::string& caption,
                           std::uint32_t flags) override {
    return inner_.MessageBoxA(text, caption, flags);
  }
  bool ModuleFromAddress(std::uintptr_t address, std::uintptr_t* base,
                         std::u16string* path) override {
    return inner_.ModuleFromAddress(address, base, path);
  }
  std::u16string OwnModulePath() override { return inner_.OwnModulePath(); }

 private:
  struct Entry {
    double began = 0;
    std::array<double, kPhases> seconds{};
    unsigned writes = 0;
  };

  template <typename Call>
  auto Timed(Phase phase, Call call) -> decltype(call()) {
    const double t0 = Now();
    auto result = call();
    if (!entries_.empty()) entries_.back().seconds[phase] += Now() - t0;
    return result;
  }

  Platform& inner_;
  double began_;
  std::vector<Entry> entries_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  RestrictDllSearchToSystem32();
  Win32Platform win32;
  PhaseTimingPlatform platform(win32);
  vannix::ProcessFrame frame(platform);
  vannix::platform::OnDemandAdvapi32 advapi32;
  const int exit_code = frame.Run([&] { vannix::InstallComponents(platform, advapi32); });
  platform.Report("C:\\vannix-phases.txt");
  ::ExitProcess(static_cast<UINT>(exit_code));
}
