/* The benchmark's baseline: the installer's work done the plainest way. Copies the eleven
 * component files from C:\vannix-bench\64 into the system directory for 32-bit images with
 * CopyFileW, then registers the six COM servers with "<system dir>\regsvr32.exe /s <path>", one
 * after another, each started as the installer starts it (a new console, shown normally) and
 * waited for. Exit code: the number of failed copies and registrations. */
#include <windows.h>

#include <stdio.h>

static const wchar_t* const kFiles[11] = {
    L"KorviX.dll",   L"KorviDataSetX.dll", L"msxml6.dll",      L"KorviGovX.ocx",
    L"midas.dll",    L"stdvcl40.dll",      L"ssleay32.dll",    L"libeay32.dll",
    L"msxml6r.dll",  L"qelKorviLibUNICODE.dll", L"qelKorviLib.dll"};
enum { kServers = 6 }; /* the first six are COM servers */

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
  (void)instance; (void)previous; (void)command_line; (void)show;
  wchar_t dir[MAX_PATH], from[MAX_PATH], to[MAX_PATH], tool[MAX_PATH], command[2 * MAX_PATH];
  UINT length = GetSystemWow64DirectoryW(dir, MAX_PATH);
  if (length == 0) length = GetSystemDirectoryW(dir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 100;
  int failures = 0;
  for (int i = 0; i < 11; ++i) {
    _snwprintf(from, MAX_PATH, L"C:\\vannix-bench\\64\\%ls", kFiles[i]);
    _snwprintf(to, MAX_PATH, L"%ls\\%ls", dir, kFiles[i]);
    if (!CopyFileW(from, to, FALSE)) ++failures;
  }
  _snwprintf(tool, MAX_PATH, L"%ls\\regsvr32.exe", dir);
  for (int i = 0; i < kServers; ++i) {
    _snwprintf(command, 2 * MAX_PATH, L"\"%ls\" /s \"%ls\\%ls\"", tool, dir, kFiles[i]);
    STARTUPINFOW startup = {.cb = sizeof startup, .dwFlags = STARTF_USESHOWWINDOW,
                            .wShowWindow = SW_SHOWNORMAL};
    PROCESS_INFORMATION process;
    if (!CreateProcessW(tool, command, NULL, NULL, FALSE,
                        CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, NULL, NULL, &startup,
                        &process)) {
      ++failures;
      continue;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    if (code != 0) ++failures;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  return failures;
}
