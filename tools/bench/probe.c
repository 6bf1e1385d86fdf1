/* probe.dll: loaded by launch.exe into the program it times, just before the program's entry
 * point. It redirects the program's imports of CreateProcessW and WaitForSingleObject (and its
 * Ex and Multiple forms) to timed wrappers (patching its import address table, so nothing in the
 * program is built for it), and at the program's exit appends to C:\vannix-probe.txt: inside
 * (seconds from the entry point to the exit), waits (inside those calls: starting and waiting
 * for children), children (how many were started) and cpu (the process's user and kernel time
 * in that span). With VANNIX_SAMPLE set, a thread walks the address space every 5 ms until the
 * program calls exit or ExitProcess: private_start and private_peak (committed private bytes),
 * the figures of the memory goals; it costs CPU time, so never in timed runs. */
#include <windows.h>

#include <stdio.h>

static double Now(void) {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return (double)counter.QuadPart / (double)frequency.QuadPart;
}

static double began, cpu_began, waits;
static LONG children;
static SIZE_T private_start, private_peak;
static HANDLE sampler, stop;

static SIZE_T CommittedPrivate(void) {
  SIZE_T sum = 0;
  MEMORY_BASIC_INFORMATION region;
  const BYTE* address = NULL;
  while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) sum += region.RegionSize;
    if ((const BYTE*)region.BaseAddress + region.RegionSize <= address) break;
    address = (const BYTE*)region.BaseAddress + region.RegionSize;
  }
  return sum;
}

static void Sample(void) {
  const SIZE_T now = CommittedPrivate();
  if (now > private_peak) private_peak = now;
}

static DWORD WINAPI SampleLoop(void* stop) {
  do Sample();
  while (WaitForSingleObject(stop, 5) == WAIT_TIMEOUT);
  return 0;
}

/* Ended before the process exits: Wine's ExitProcess, ending a thread that is still sampling,
 * could end the whole process before probe.dll reports (seen under qemu). */
static void StopSampling(void) {
  if (sampler == NULL || stop == NULL) return;
  SetEvent(stop);
  WaitForSingleObject(sampler, INFINITE);
  stop = NULL;
  Sample();
}

static BOOL(WINAPI* create_process)(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                    BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                                    LPPROCESS_INFORMATION);
static DWORD(WINAPI* wait_for)(HANDLE, DWORD);

static BOOL WINAPI TimedCreateProcessW(LPCWSTR application, LPWSTR command,
                                       LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread,
                                       BOOL inherit, DWORD flags, LPVOID environment,
                                       LPCWSTR directory, LPSTARTUPINFOW startup,
                                       LPPROCESS_INFORMATION info) {
  const double t0 = Now();
  const BOOL ok = create_process(application, command, process, thread, inherit, flags,
                                 environment, directory, startup, info);
  waits += Now() - t0;
  if (ok) ++children;
  return ok;
}

static DWORD WINAPI TimedWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  const double t0 = Now();
  const DWORD result = wait_for(handle, milliseconds);
  waits += Now() - t0;
  return result;
}

/* The other ways of waiting for a child, should the program take to one of them. */
static DWORD(WINAPI* wait_for_ex)(HANDLE, DWORD, BOOL);
static DWORD WINAPI TimedWaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable) {
  const double t0 = Now();
  const DWORD result = wait_for_ex(handle, milliseconds, alertable);
  waits += Now() - t0;
  return result;
}
static DWORD(WINAPI* wait_for_any)(DWORD, const HANDLE*, BOOL, DWORD);
static DWORD WINAPI TimedWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all,
                                                DWORD milliseconds) {
  const double t0 = Now();
  const DWORD result = wait_for_any(count, handles, all, milliseconds);
  waits += Now() - t0;
  return result;
}

static void Report(void);
static BOOL reported;

/* A process that ends itself with TerminateProcess detaches no DLL: the report comes first. */
static BOOL(WINAPI* terminate_process)(HANDLE, UINT);
static BOOL WINAPI ReportingTerminateProcess(HANDLE process, UINT code) {
  if (GetProcessId(process) == GetCurrentProcessId()) {
    StopSampling();
    Report();
  }
  return terminate_process(process, code);
}

static void(WINAPI* exit_process)(UINT);
static void(__cdecl* crt_exit)(int);
static void WINAPI StoppingExitProcess(UINT code) {
  StopSampling();
  exit_process(code);
}
static void __cdecl StoppingExit(int code) {
  StopSampling();
  crt_exit(code);
}

/* Every import slot of the program that holds `dll`'s `name` (matched by address: Wine forwards
 * kernel32's exports to kernelbase) is pointed at `hook`. */
static void Redirect(const wchar_t* dll, const char* name, void* hook, void** real) {
  BYTE* base = (BYTE*)GetModuleHandleW(NULL);
  const IMAGE_NT_HEADERS* nt =
      (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY* table =
      &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  *real = (void*)GetProcAddress(GetModuleHandleW(dll), name);
  if (table->VirtualAddress == 0 || *real == NULL) return;
  for (const IMAGE_IMPORT_DESCRIPTOR* d = (const void*)(base + table->VirtualAddress); d->Name; ++d)
    for (void** slot = (void**)(base + d->FirstThunk); *slot != NULL; ++slot) {
      DWORD old;
      if (*slot != *real || !VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) continue;
      *slot = hook;
      VirtualProtect(slot, sizeof *slot, old, &old);
    }
}

/* The process's user and kernel time so far. */
static double Cpu(void) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return ((double)kernel.dwLowDateTime + (double)user.dwLowDateTime +
          4294967296.0 * (kernel.dwHighDateTime + user.dwHighDateTime)) / 1e7;
}

static void Report(void) {
  if (reported) return;
  reported = TRUE;
  const double inside = Now() - began, cpu = Cpu() - cpu_began;
  FILE* out = fopen("C:\\vannix-probe.txt", "a");
  if (out == NULL) return;
  fprintf(out, " inside=%.6f waits=%.6f children=%ld cpu=%.6f", inside, waits, children, cpu);
  if (sampler != NULL) {
    StopSampling();  /* if the program left by another way */
    fprintf(out, " private_start=%lu private_peak=%lu", (unsigned long)private_start,
            (unsigned long)private_peak);
  }
  fclose(out);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  if (reason == DLL_PROCESS_ATTACH) {
    Redirect(L"kernel32.dll", "CreateProcessW", (void*)TimedCreateProcessW,
             (void**)&create_process);
    Redirect(L"kernel32.dll", "WaitForSingleObject", (void*)TimedWaitForSingleObject,
             (void**)&wait_for);
    Redirect(L"kernel32.dll", "WaitForSingleObjectEx", (void*)TimedWaitForSingleObjectEx,
             (void**)&wait_for_ex);
    Redirect(L"kernel32.dll", "WaitForMultipleObjects", (void*)TimedWaitForMultipleObjects,
             (void**)&wait_for_any);
    Redirect(L"kernel32.dll", "TerminateProcess", (void*)ReportingTerminateProcess,
             (void**)&terminate_process);
    if (GetEnvironmentVariableW(L"VANNIX_SAMPLE", NULL, 0) != 0) {
      Redirect(L"kernel32.dll", "ExitProcess", (void*)StoppingExitProcess, (void**)&exit_process);
      Redirect(L"msvcrt.dll", "exit", (void*)StoppingExit, (void**)&crt_exit);
      /* Started before the first sample: its stack is not counted as the program's. */
      stop = CreateEventW(NULL, TRUE, FALSE, NULL);
      sampler = CreateThread(NULL, 64 * 1024, SampleLoop, stop,
                             STACK_SIZE_PARAM_IS_A_RESERVATION | CREATE_SUSPENDED, NULL);
      private_start = private_peak = CommittedPrivate();
      if (sampler != NULL) ResumeThread(sampler);
    }
    cpu_began = Cpu();
    began = Now();
  } else if (reason == DLL_PROCESS_DETACH && reserved != NULL) {
    Report();
  }
  return TRUE;
}
