// Memory figures of a measuring build (benchmarks only, never shipped).
//
// Linked into the installer built with SETUP_VANNIX_MEASURE_MEMORY=1, which calls ReportMemory()
// after its run, and into the do-nothing floor program. Two kinds of figures:
//  - what the system says (GetProcessMemoryInfo): peak working set, private bytes. Under Wine these
//    are the host process's figures (/proc/self/status), which under qemu-user include the
//    emulator's own memory, so they are only comparable with the floor program's.
//  - what the process's address space holds, walked with VirtualQuery: committed bytes by kind
//    (private, image, mapped), sampled every few milliseconds from a thread started before
//    main, so that the peak during the run is seen and not only the state at the end. This is
//    Windows' own view of the process and means the same on Windows and under Wine.
// The figures are written as "key=value" lines to C:\vannix-memory.txt.

#include <windows.h>
#include <psapi.h>

#include <cstdio>

namespace {

struct Commit {
  SIZE_T private_bytes = 0;
  SIZE_T image_bytes = 0;
  SIZE_T mapped_bytes = 0;
  SIZE_T own_image_bytes = 0;  // committed pages of this program's own image
};

Commit Walk() {
  Commit c;
  const auto own = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  auto address = static_cast<const BYTE*>(info.lpMinimumApplicationAddress);
  const auto end = static_cast<const BYTE*>(info.lpMaximumApplicationAddress);
  MEMORY_BASIC_INFORMATION region;
  while (address < end && ::VirtualQuery(address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT) {
      if (region.Type == MEM_PRIVATE) c.private_bytes += region.RegionSize;
      if (region.Type == MEM_IMAGE) c.image_bytes += region.RegionSize;
      if (region.Type == MEM_MAPPED) c.mapped_bytes += region.RegionSize;
      if (region.Type == MEM_IMAGE && region.AllocationBase == own) c.own_image_bytes += region.RegionSize;
    }
    const auto next = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return c;
}

class Sampler {
 public:
  // The start is taken once the sampling thread exists (its stack is allocated by the
  // creator), so that "peak - start" holds what the run itself added.
  Sampler() {
    stop_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = ::CreateThread(nullptr, 64 * 1024, &Sampler::Loop, this,
                             STACK_SIZE_PARAM_IS_A_RESERVATION | CREATE_SUSPENDED, nullptr);
    start_ = Walk();
    peak_ = start_;
    if (thread_ != nullptr) ::ResumeThread(thread_);
  }

  // Ends the sampling (the last sample is taken on the calling thread).
  void Finish() {
    if (thread_ != nullptr) {
      ::SetEvent(stop_);
      ::WaitForSingleObject(thread_, INFINITE);
      ::CloseHandle(thread_);
      thread_ = nullptr;
    }
    Sample();
  }

  const Commit& start() const { return start_; }
  const Commit& peak() const { return peak_; }
  const Commit& last() const { return last_; }
  unsigned samples() const { return samples_; }

 private:
  static DWORD WINAPI Loop(void* self) {
    auto* sampler = static_cast<Sampler*>(self);
    do sampler->Sample();
    while (::WaitForSingleObject(sampler->stop_, 5) == WAIT_TIMEOUT);
    return 0;
  }

  void Sample() {
    last_ = Walk();
    ++samples_;
    if (last_.private_bytes > peak_.private_bytes) peak_.private_bytes = last_.private_bytes;
    if (last_.image_bytes > peak_.image_bytes) peak_.image_bytes = last_.image_bytes;
    if (last_.mapped_bytes > peak_.mapped_bytes) peak_.mapped_bytes = last_.mapped_bytes;
    if (last_.own_image_bytes > peak_.own_image_bytes) peak_.own_image_bytes = last_.own_image_bytes;
  }

  Commit start_, peak_, last_;
  unsigned samples_ = 0;
  HANDLE stop_ = nullptr;
  HANDLE thread_ = nullptr;
};

Sampler g_sampler;  // constructed before main: sampling covers the whole run

DWORD OwnImageSize() {
  const auto base = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
  const auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  return nt->OptionalHeader.SizeOfImage;
}

}  // namespace

void ReportMemory() {
  g_sampler.Finish();
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  const BOOL have_counters = ::GetProcessMemoryInfo(
      ::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);

  FILE* out = std::fopen("C:\\vannix-memory.txt", "w");
  if (out == nullptr) return;
  const auto line = [out](const char* key, unsigned long long value) {
    std::fprintf(out, "%s=%llu\n", key, value);
  };
  line("image_size", OwnImageSize());
  if (have_counters) {
    line("peak_working_set", counters.PeakWorkingSetSize);
    line("working_set", counters.WorkingSetSize);
    line("pagefile_usage", counters.PagefileUsage);
    line("peak_pagefile_usage", counters.PeakPagefileUsage);
    line("private_usage", counters.PrivateUsage);
  }
  line("commit_private_start", g_sampler.start().private_bytes);
  line("commit_private_peak", g_sampler.peak().private_bytes);
  line("commit_private_end", g_sampler.last().private_bytes);
  line("commit_image_peak", g_sampler.peak().image_bytes);
  line("commit_own_image_peak", g_sampler.peak().own_image_bytes);
  line("commit_mapped_peak", g_sampler.peak().mapped_bytes);
  line("samples", g_sampler.samples());
  std::fclose(out);
}

#ifdef BENCH_REPORT_AT_EXIT
namespace {
// For a program whose source has no hook (the installation check): the figures are recorded
// when its main returns, before g_sampler (constructed earlier) is destroyed.
struct ReportAtExit {
  ~ReportAtExit() { ReportMemory(); }
} g_report_at_exit;
}  // namespace
#endif

// For the C floor program.
extern "C" void vannix_bench_report_memory(void) { ReportMemory(); }
