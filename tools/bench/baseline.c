/* The benchmark's baseline: the installer's work done the plainest way. Copies the eleven
 * component files from C:\vannix-bench\64 into the system directory for 32-bit images with
 * CopyFileW, then registers the six COM servers with "<system dir>\regsvr32.exe /s <path>", one
 * after another, waiting for each. No resources, no temporary files, no error handling beyond
 * counting failures. Exit code: the number of failed copies and registrations. Built with
 * BENCH_COPY_ONLY it stops after the copies; with BENCH_NEW_CONSOLE it starts regsvr32 as the
 * installer does (CREATE_NEW_CONSOLE, STARTF_USESHOWWINDOW with SW_SHOWNORMAL); with
 * BENCH_MEASURE_MEMORY it records its memory figures as the installer's measuring build does
 * (tools/bench/memory_report.cpp), so that both are measured the same way; with BENCH_PHASES it
 * times each copy, each child's start and each wait with QueryPerformanceCounter and writes
 * them to C:\vannix-phases.txt as setup_vannix-phases.exe does (tools/bench/phase_timing.cpp). */
#include <windows.h>

#include <stdio.h>

static const wchar_t* const kFiles[11] = {
    L"KorviX.dll",   L"KorviDataSetX.dll", L"msxml6.dll",      L"KorviGovX.ocx",
    L"midas.dll",    L"stdvcl40.dll",      L"ssleay32.dll",    L"libeay32.dll",
    L"msxml6r.dll",  L"qelKorviLibUNICODE.dll", L"qelKorviLib.dll"};
enum { kServers = 6 }; /* the first six are COM servers */

#ifdef BENCH_MEASURE_MEMORY
void vannix_bench_report_memory(void);
#endif

#ifdef BENCH_PHASES
static double Now(void) {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return (double)counter.QuadPart / (double)frequency.QuadPart;
}
#define PHASE_BEGIN(t) const double t = Now()
#define PHASE_ADD(slot, t) ((slot) += Now() - (t))
#else
#define PHASE_BEGIN(t) (void)0
#define PHASE_ADD(slot, t) (void)0
#endif

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
  (void)instance; (void)previous; (void)command_line; (void)show;
#ifdef BENCH_PHASES
  const double began = Now();
#endif
  double copy_seconds[11] = {0}, start_seconds[11] = {0}, wait_seconds[11] = {0};
  (void)copy_seconds; (void)start_seconds; (void)wait_seconds;
  wchar_t system_dir[MAX_PATH];
  UINT length = GetSystemWow64DirectoryW(system_dir, MAX_PATH);
  if (length == 0) length = GetSystemDirectoryW(system_dir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 100;

  int failures = 0;
  wchar_t from[MAX_PATH], to[MAX_PATH];
  for (int i = 0; i < 11; ++i) {
    _snwprintf(from, MAX_PATH, L"C:\\vannix-bench\\64\\%ls", kFiles[i]);
    _snwprintf(to, MAX_PATH, L"%ls\\%ls", system_dir, kFiles[i]);
    PHASE_BEGIN(t0);
    if (!CopyFileW(from, to, FALSE)) ++failures;
    PHASE_ADD(copy_seconds[i], t0);
  }

#ifdef BENCH_COPY_ONLY
  /* The copy-only build: the copies' share of the baseline. */
  return failures;
#endif
  wchar_t tool[MAX_PATH], command[2 * MAX_PATH];
  _snwprintf(tool, MAX_PATH, L"%ls\\regsvr32.exe", system_dir);
  for (int i = 0; i < kServers; ++i) {
    _snwprintf(command, 2 * MAX_PATH, L"\"%ls\" /s \"%ls\\%ls\"", tool, system_dir, kFiles[i]);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
#ifdef BENCH_NEW_CONSOLE
    /* The installer's way of starting regsvr32: its own console, shown normally. */
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    const DWORD flags = CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS;
#else
    const DWORD flags = 0;
#endif
    PHASE_BEGIN(t1);
    if (!CreateProcessW(tool, command, NULL, NULL, FALSE, flags, NULL, NULL, &startup, &process)) {
      ++failures;
      continue;
    }
    PHASE_ADD(start_seconds[i], t1);
    PHASE_BEGIN(t2);
    WaitForSingleObject(process.hProcess, INFINITE);
    PHASE_ADD(wait_seconds[i], t2);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    if (code != 0) ++failures;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
#ifdef BENCH_MEASURE_MEMORY
  vannix_bench_report_memory();
#endif
#ifdef BENCH_PHASES
  FILE* out = fopen("C:\\vannix-phases.txt", "w");
  if (out != NULL) {
    for (int i = 0; i < 11; ++i)
      fprintf(out, "entry=%d copy=%.6f start=%.6f wait=%.6f\n", i, copy_seconds[i],
              start_seconds[i], wait_seconds[i]);
    fprintf(out, "total=%.6f\n", Now() - began);
    fclose(out);
  }
#endif
  return failures;
}
