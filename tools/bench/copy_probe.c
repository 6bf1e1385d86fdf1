/* Where the copy time goes under the emulation: writes the "64_" set's byte count (40,533,216)
 * into a file in the system directory three ways, each timed with QueryPerformanceCounter:
 *   memcpy  - memcpy of the bytes through one 61,440-byte buffer, nothing written;
 *   write   - WriteFile straight from the source memory in 61,440-byte chunks;
 *   both    - memcpy into the buffer, then WriteFile of the buffer (the installer's copy loop);
 *   copyfile - CopyFileW of the file "write" made (the baseline's way).
 * The source is a committed, touched private allocation (the installer's is its resource
 * section). Results, in seconds, go to C:\vannix-copy-probe.txt as "key=value" lines. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

enum { kBytes = 40533216, kChunk = 61440 };

static double Now(void) {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return (double)counter.QuadPart / (double)frequency.QuadPart;
}

static double WriteAll(const wchar_t* path, const BYTE* source, BYTE* buffer, int copy, int write) {
  HANDLE file = INVALID_HANDLE_VALUE;
  if (write) {
    file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return -1.0;
  }
  const double t0 = Now();
  for (DWORD offset = 0; offset < kBytes;) {
    const DWORD chunk = kBytes - offset < kChunk ? kBytes - offset : kChunk;
    const BYTE* data = source + offset;
    if (copy) {
      memcpy(buffer, data, chunk);
      data = buffer;
    }
    DWORD written;
    if (write && !WriteFile(file, data, chunk, &written, NULL)) break;
    offset += chunk;
  }
  const double seconds = Now() - t0;
  if (write) CloseHandle(file);
  return seconds;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
  (void)instance; (void)previous; (void)command_line; (void)show;
  BYTE* source = VirtualAlloc(NULL, kBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  BYTE* buffer = HeapAlloc(GetProcessHeap(), 0, kChunk);
  if (source == NULL || buffer == NULL) return 1;
  for (DWORD i = 0; i < kBytes; i += 4096) source[i] = (BYTE)i;

  wchar_t dir[MAX_PATH], a[MAX_PATH], b[MAX_PATH], c[MAX_PATH];
  if (GetSystemWow64DirectoryW(dir, MAX_PATH) == 0) GetSystemDirectoryW(dir, MAX_PATH);
  _snwprintf(a, MAX_PATH, L"%ls\\vannix-probe-a.bin", dir);
  _snwprintf(b, MAX_PATH, L"%ls\\vannix-probe-b.bin", dir);
  _snwprintf(c, MAX_PATH, L"%ls\\vannix-probe-c.bin", dir);

  const double memcpy_only = WriteAll(NULL, source, buffer, 1, 0);
  const double write_only = WriteAll(a, source, buffer, 0, 1);
  const double both = WriteAll(b, source, buffer, 1, 1);
  const double t0 = Now();
  const BOOL copied = CopyFileW(a, c, FALSE);
  const double copyfile = Now() - t0;
  DeleteFileW(a);
  DeleteFileW(b);
  DeleteFileW(c);

  FILE* out = fopen("C:\\vannix-copy-probe.txt", "w");
  if (out == NULL) return 1;
  fprintf(out, "bytes=%d\nmemcpy=%.4f\nwrite=%.4f\nboth=%.4f\ncopyfile=%.4f\ncopyfile_ok=%d\n",
          kBytes, memcpy_only, write_only, both, copyfile, copied ? 1 : 0);
  fclose(out);
  return 0;
}
