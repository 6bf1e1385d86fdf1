/* Where the copy time goes: the "64_" set's eleven files (their real sizes, 40,533,216 bytes in
 * all) written into the system directory, each way timed with QueryPerformanceCounter:
 *   memcpy      - memcpy through one 61,440-byte buffer, nothing written;
 *   rpm         - ReadProcessMemory of the own process into the buffer (how the installer reads
 *                 its payload, so that a page that cannot be read fails a copy, not the process);
 *   loop        - the installer's copy loop: ReadProcessMemory, then WriteFile of the buffer,
 *                 one new file per component;
 *   loop_flush  - the same, each file flushed with FlushFileBuffers before it is closed (as the
 *                 installer does before the file replaces its target): the flush's cost;
 *   direct_flush - the same flushed loop writing straight from the source, no ReadProcessMemory
 *                 (WriteFile reads the pages itself: one that cannot be read fails the call);
 *   copyfile    - CopyFileW of the eleven files "loop" wrote (the baseline's way).
 * The source is a committed, touched private allocation (the installer's is its resource
 * section). Results, in seconds, go to C:\vannix-copy-probe.txt as "key=value" lines. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

enum { kChunk = 61440, kFiles = 11 };
static const DWORD kSizes[kFiles] = {4848128, 4714496, 2022304, 16869888, 437632, 2224064,
                                     353792,  2101248, 2560,    4723712,  2235392};

static double Now(void) {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return (double)counter.QuadPart / (double)frequency.QuadPart;
}

enum Way { kMemcpy, kReadMemory, kLoop, kLoopFlush, kDirectFlush };

/* Writes (or only reads) every file; returns the seconds, or -1 when a call failed. */
static double Run(enum Way way, const wchar_t* dir, const wchar_t* tag, const BYTE* source,
                  BYTE* buffer) {
  const double t0 = Now();
  const BYTE* data = source;
  for (int i = 0; i < kFiles; ++i) {
    HANDLE file = INVALID_HANDLE_VALUE;
    if (way >= kLoop) {
      wchar_t path[MAX_PATH];
      _snwprintf(path, MAX_PATH, L"%ls\\vannix-probe-%ls-%d.bin", dir, tag, i);
      file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
      if (file == INVALID_HANDLE_VALUE) return -1.0;
    }
    for (DWORD offset = 0; offset < kSizes[i];) {
      const DWORD chunk = kSizes[i] - offset < kChunk ? kSizes[i] - offset : kChunk;
      SIZE_T read = chunk;
      const BYTE* from = buffer;
      if (way == kDirectFlush) {
        from = data + offset;
      } else if (way == kMemcpy) {
        memcpy(buffer, data + offset, chunk);
      } else if (!ReadProcessMemory(GetCurrentProcess(), data + offset, buffer, chunk, &read) ||
                 read != chunk) {
        return -1.0;
      }
      DWORD written;
      if (file != INVALID_HANDLE_VALUE && !WriteFile(file, from, chunk, &written, NULL))
        return -1.0;
      offset += chunk;
    }
    if ((way == kLoopFlush || way == kDirectFlush) && !FlushFileBuffers(file)) return -1.0;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    data += kSizes[i];
  }
  return Now() - t0;
}

static void Remove(const wchar_t* dir, const wchar_t* tag) {
  for (int i = 0; i < kFiles; ++i) {
    wchar_t path[MAX_PATH];
    _snwprintf(path, MAX_PATH, L"%ls\\vannix-probe-%ls-%d.bin", dir, tag, i);
    DeleteFileW(path);
  }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show) {
  (void)instance; (void)previous; (void)command_line; (void)show;
  DWORD total = 0;
  for (int i = 0; i < kFiles; ++i) total += kSizes[i];
  BYTE* source = VirtualAlloc(NULL, total, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  BYTE* buffer = HeapAlloc(GetProcessHeap(), 0, kChunk);
  if (source == NULL || buffer == NULL) return 1;
  for (DWORD i = 0; i < total; i += 4096) source[i] = (BYTE)i;

  wchar_t dir[MAX_PATH];
  if (GetSystemWow64DirectoryW(dir, MAX_PATH) == 0) GetSystemDirectoryW(dir, MAX_PATH);

  const double memcpy_only = Run(kMemcpy, dir, L"m", source, buffer);
  const double rpm_only = Run(kReadMemory, dir, L"r", source, buffer);
  const double loop = Run(kLoop, dir, L"a", source, buffer);
  const double loop_flush = Run(kLoopFlush, dir, L"b", source, buffer);
  const double direct_flush = Run(kDirectFlush, dir, L"d", source, buffer);
  double copyfile = Now();
  int copied = 1;
  for (int i = 0; i < kFiles; ++i) {
    wchar_t from[MAX_PATH], to[MAX_PATH];
    _snwprintf(from, MAX_PATH, L"%ls\\vannix-probe-a-%d.bin", dir, i);
    _snwprintf(to, MAX_PATH, L"%ls\\vannix-probe-c-%d.bin", dir, i);
    copied &= CopyFileW(from, to, FALSE) != FALSE;
  }
  copyfile = Now() - copyfile;
  Remove(dir, L"a");
  Remove(dir, L"b");
  Remove(dir, L"c");
  Remove(dir, L"d");

  FILE* out = fopen("C:\\vannix-copy-probe.txt", "w");
  if (out == NULL) return 1;
  fprintf(out, "bytes=%lu\nmemcpy=%.4f\nrpm=%.4f\nloop=%.4f\nloop_flush=%.4f\ndirect_flush=%.4f\n"
          "copyfile=%.4f\ncopyfile_ok=%d\n", (unsigned long)total, memcpy_only, rpm_only, loop,
          loop_flush, direct_flush, copyfile, copied);
  fclose(out);
  return 0;
}
