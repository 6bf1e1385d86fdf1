/* launch.exe [/probe] COMMAND LINE: runs the command, waits for it and appends one line to
 * C:\vannix-runs.txt: "outside=<seconds from CreateProcessW to the end of the wait> rc=<exit
 * code>", followed with /probe by what probe.dll reported. With /probe the program starts
 * suspended and C:\vannix-bench\probe.dll is loaded into it by an APC queued to its first
 * thread, which Wine's loader runs once the program's DLLs are initialized, right before its
 * entry point. */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

static wchar_t* SkipArgument(wchar_t* p) {
  if (*p == L'"') {
    for (++p; *p && *p != L'"'; ++p) {}
    if (*p) ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

int wmain(void) {
  static const wchar_t probe_dll[] = L"C:\\vannix-bench\\probe.dll";
  wchar_t* command = SkipArgument(GetCommandLineW());
  const BOOL probe = wcsncmp(command, L"/probe ", 7) == 0;
  if (probe) command = SkipArgument(command);
  DeleteFileW(L"C:\\vannix-probe.txt");
  STARTUPINFOW startup = {.cb = sizeof startup};
  PROCESS_INFORMATION process;
  LARGE_INTEGER t0, t1, frequency;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&t0);
  if (!CreateProcessW(NULL, command, NULL, NULL, FALSE, probe ? CREATE_SUSPENDED : 0, NULL, NULL,
                      &startup, &process))
    return 120;
  if (probe) {
    void* remote = VirtualAllocEx(process.hProcess, NULL, sizeof probe_dll,
                                  MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    PAPCFUNC load = (PAPCFUNC)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                                    "LoadLibraryW");
    if (remote == NULL || !WriteProcessMemory(process.hProcess, remote, probe_dll,
                                              sizeof probe_dll, NULL) ||
        !QueueUserAPC(load, process.hThread, (ULONG_PTR)remote)) {
      TerminateProcess(process.hProcess, 121);
      return 121;
    }
    ResumeThread(process.hThread);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  QueryPerformanceCounter(&t1);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  FILE* out = _wfopen(L"C:\\vannix-runs.txt", L"a");
  if (out == NULL) return 122;
  fprintf(out, "outside=%.6f rc=%lu", (double)(t1.QuadPart - t0.QuadPart) / frequency.QuadPart,
          code);
  FILE* in = probe ? _wfopen(L"C:\\vannix-probe.txt", L"r") : NULL;
  char line[512];
  if (in != NULL && fgets(line, sizeof line, in) != NULL) fputs(line, out);
  if (in != NULL) fclose(in);
  fprintf(out, "\n");
  fclose(out);
  return 0;
}
