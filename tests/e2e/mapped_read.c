/* mapped_read.exe CUT READY GO
 *   Probes how reads of this image's own mapped RCDATA resource 1 behave once the image file
 *   has been cut to CUT bytes (the medium went away). Prints where the resource lies in the
 *   file, creates READY, waits (at most 10 min) until GO exists (the caller cuts the file
 *   meanwhile), then tries each way of reading a chunk that lies beyond CUT, each on its own
 *   chunk so that no attempt sees pages another one touched:
 *     query    VirtualQuery (touches nothing)
 *     rpm      ReadProcessMemory(GetCurrentProcess())
 *     ntread   NtReadVirtualMemory(NtCurrentProcess())
 *     isbad    IsBadReadPtr
 *     write    WriteFile straight from the mapped bytes into a file
 *     veh      memcpy under a vectored exception handler that turns the fault into a return
 *   One line per attempt: "METHOD offset=O ok=0|1 error=E bytes=N data=good|bad|-".
 *   rpm and veh are also tried on a chunk before CUT and on one across it, and rpm on a chunk
 *   past CUT that was read before the cut ("pretouched chunk:" precedes it). isbad comes last
 *   but one, then a plain memcpy past CUT; a fault that escapes reaches the unhandled-exception
 *   filter, which prints "fault code=C info=I0,I1" and exits with 3; exit code 0 means the
 *   plain memcpy did not fault.
 * mapped_read.exe --time METHOD [REPEAT]
 *   Reads the whole resource in 61,440-byte chunks (REPEAT passes, default 1; only the first
 *   touches fresh pages) and prints "time METHOD pass=P bytes=N ms=T". METHOD: memcpy or rpm
 *   (ReadProcessMemory) into one buffer; memcpy-write or rpm-write, the same followed by
 *   WriteFile of the buffer into a temporary file; direct-write, WriteFile straight from the
 *   mapped bytes. Exit code 0 when the bytes read were right.
 * The resource holds 32-bit little-endian words, word k equal to k (tests/e2e/make_blob.py).
 * Link with page-aligned sections in the file, as the installer is, so that Wine maps the
 * resource straight from the file.
 */
#include <windows.h>
#include <winternl.h>
#include <stdio.h>
#include <string.h>
#include <setjmp.h>

#include "wait_for_file.h"

#define CHUNK 61440u

typedef NTSTATUS(NTAPI *NtReadVirtualMemory_t)(HANDLE, PVOID, PVOID, SIZE_T, PSIZE_T);

static const unsigned char *res;
static DWORD res_size, res_file_offset;
static unsigned char buf[CHUNK];


/* The file offset of an address inside this image, from its section table. */
static DWORD file_offset_of(const void *p) {
    const unsigned char *base = (const unsigned char *)GetModuleHandleW(NULL);
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + ((const IMAGE_DOS_HEADER *)base)->e_lfanew);
    const IMAGE_SECTION_HEADER *s = IMAGE_FIRST_SECTION(nt);
    DWORD rva = (DWORD)((const unsigned char *)p - base);
    for (int i = 0; i < nt->FileHeader.NumberOfSections; i++, s++)
        if (rva >= s->VirtualAddress && rva < s->VirtualAddress + s->SizeOfRawData)
            return rva - s->VirtualAddress + s->PointerToRawData;
    return 0;
}

/* Do n bytes read from resource offset off hold the words the blob was made with? */
static const char *check(const unsigned char *b, DWORD off, DWORD n) {
    if (n == 0) return "-";
    for (DWORD i = 0; i + 4 <= n; i += 4) {
        DWORD w;
        memcpy(&w, b + i, 4);
        if (w != (off + i) / 4) return "bad";
    }
    return "good";
}

static void report(const char *method, DWORD off, int ok, DWORD err, DWORD n) {
    printf("%s offset=%lu ok=%d error=%lu bytes=%lu data=%s\n", method, (unsigned long)off, ok,
           (unsigned long)err, (unsigned long)n, ok || n ? check(buf, off, n) : "-");
    fflush(stdout);
}

static void try_rpm(DWORD off) {
    SIZE_T n = 0;
    memset(buf, 0, sizeof buf);
    SetLastError(0);
    BOOL ok = ReadProcessMemory(GetCurrentProcess(), res + off, buf, CHUNK, &n);
    report("rpm", off, ok, ok ? 0 : GetLastError(), (DWORD)n);
}

static void try_ntread(DWORD off) {
    NtReadVirtualMemory_t f = (NtReadVirtualMemory_t)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtReadVirtualMemory");
    SIZE_T n = 0;
    memset(buf, 0, sizeof buf);
    NTSTATUS st = f((HANDLE)-1, (PVOID)(res + off), buf, CHUNK, &n);
    printf("ntread offset=%lu status=0x%08lX bytes=%lu data=%s\n", (unsigned long)off,
           (unsigned long)st, (unsigned long)n, check(buf, off, (DWORD)n));
    fflush(stdout);
}

/* Where a caught fault resumes: fault_landing longjmps to guard. */
static jmp_buf guard;
static volatile LONG in_isbad;

static void try_query(DWORD off) {
    MEMORY_BASIC_INFORMATION mbi;
    SIZE_T r = VirtualQuery(res + off, &mbi, sizeof mbi);
    printf("query offset=%lu ret=%lu state=0x%lX protect=0x%lX type=0x%lX region=%lu\n",
           (unsigned long)off, (unsigned long)r, (unsigned long)mbi.State,
           (unsigned long)mbi.Protect, (unsigned long)mbi.Type, (unsigned long)mbi.RegionSize);
    fflush(stdout);
}

static void try_isbad(DWORD off) {
    printf("isbad offset=%lu starting\n", (unsigned long)off);
    fflush(stdout);
    if (setjmp(guard) == 0) {
        in_isbad = 1;
        BOOL bad = IsBadReadPtr(res + off, CHUNK);
        in_isbad = 0;
        printf("isbad offset=%lu bad=%d\n", (unsigned long)off, bad);
    } else {
        printf("isbad offset=%lu faulted\n", (unsigned long)off);
    }
    fflush(stdout);
}

static void try_write(DWORD off) {
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    wcscat(path, L"mapped_read.out");
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    DWORD n = 0, err = 0, got = 0;
    SetLastError(0);
    BOOL ok = WriteFile(h, res + off, CHUNK, &n, NULL);
    if (!ok) err = GetLastError();
    memset(buf, 0, sizeof buf);
    SetFilePointer(h, 0, NULL, FILE_BEGIN);
    ReadFile(h, buf, CHUNK, &got, NULL);
    CloseHandle(h);
    printf("write offset=%lu ok=%d error=%lu bytes=%lu in-file=%lu data=%s\n", (unsigned long)off,
           ok, (unsigned long)err, (unsigned long)n, (unsigned long)got, check(buf, off, got));
    fflush(stdout);
}

/* The vectored handler sends a fault inside the guarded memcpy to fault_landing. */
static volatile LONG guarding;
static volatile DWORD fault_code;
static volatile ULONG_PTR fault_info[2];

static void fault_landing(void) { longjmp(guard, 1); }

static LONG CALLBACK veh(EXCEPTION_POINTERS *ep) {
    if (!guarding) return EXCEPTION_CONTINUE_SEARCH;
    guarding = 0;
    fault_code = ep->ExceptionRecord->ExceptionCode;
    fault_info[0] = ep->ExceptionRecord->NumberParameters > 0 ? ep->ExceptionRecord->ExceptionInformation[0] : 0;
    fault_info[1] = ep->ExceptionRecord->NumberParameters > 1 ? ep->ExceptionRecord->ExceptionInformation[1] : 0;
    ep->ContextRecord->Eip = (DWORD)(ULONG_PTR)fault_landing;
    return EXCEPTION_CONTINUE_EXECUTION;
}

static void try_veh(DWORD off) {
    PVOID h = AddVectoredExceptionHandler(1, veh);
    fault_code = 0;
    memset(buf, 0, sizeof buf);
    if (setjmp(guard) == 0) {
        guarding = 1;
        memcpy(buf, res + off, CHUNK);
        guarding = 0;
    }
    RemoveVectoredExceptionHandler(h);
    printf("veh offset=%lu faulted=%d code=0x%08lX info=%lu,0x%lX data=%s\n", (unsigned long)off,
           fault_code != 0, (unsigned long)fault_code, (unsigned long)fault_info[0],
           (unsigned long)fault_info[1], fault_code ? "-" : check(buf, off, CHUNK));
    fflush(stdout);
}

/* A fault that no handler took. Inside IsBadReadPtr (whose own handler may not take what the
 * emulation delivers) it is reported and the probe goes on; anywhere else it ends the run. */
static LONG WINAPI last_filter(EXCEPTION_POINTERS *ep) {
    printf("fault code=0x%08lX info=%lu,0x%lX\n", (unsigned long)ep->ExceptionRecord->ExceptionCode,
           (unsigned long)ep->ExceptionRecord->ExceptionInformation[0],
           (unsigned long)ep->ExceptionRecord->ExceptionInformation[1]);
    fflush(stdout);
    if (in_isbad) {
        in_isbad = 0;
        ep->ContextRecord->Eip = (DWORD)(ULONG_PTR)fault_landing;
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    ExitProcess(3);
}

static int timed(const char *method, int passes) {
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    int use_rpm = !strncmp(method, "rpm", 3), direct = !strcmp(method, "direct-write");
    HANDLE out = INVALID_HANDLE_VALUE;
    if (strstr(method, "write")) {
        wchar_t path[MAX_PATH];
        GetTempPathW(MAX_PATH, path);
        wcscat(path, L"mapped_read.time");
        out = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, NULL);
        if (out == INVALID_HANDLE_VALUE) return 2;
    }
    int good = 1;
    for (int p = 1; p <= passes; p++) {
        if (out != INVALID_HANDLE_VALUE) {
            SetFilePointer(out, 0, NULL, FILE_BEGIN);
            SetEndOfFile(out);
        }
        QueryPerformanceCounter(&t0);
        for (DWORD off = 0; off < res_size; off += CHUNK) {
            DWORD n = res_size - off < CHUNK ? res_size - off : CHUNK, w;
            SIZE_T got = 0;
            if (direct) {
                if (!WriteFile(out, res + off, n, &w, NULL) || w != n) good = 0;
                continue;
            }
            if (use_rpm) {
                if (!ReadProcessMemory(GetCurrentProcess(), res + off, buf, n, &got) || got != n) good = 0;
            } else {
                memcpy(buf, res + off, n);
            }
            if (buf[0] != (unsigned char)(off / 4)) good = 0;
            if (out != INVALID_HANDLE_VALUE && (!WriteFile(out, buf, n, &w, NULL) || w != n)) good = 0;
        }
        QueryPerformanceCounter(&t1);
        printf("time %s pass=%d bytes=%lu ms=%.1f\n", method, p, (unsigned long)res_size,
               (t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart);
    }
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    return good ? 0 : 1;
}

int wmain(int argc, wchar_t **argv) {
    HMODULE self = GetModuleHandleW(NULL);
    HRSRC ri = FindResourceW(self, MAKEINTRESOURCEW(1), (LPCWSTR)RT_RCDATA);
    HGLOBAL rh = ri ? LoadResource(self, ri) : NULL;
    res = rh ? LockResource(rh) : NULL;
    if (!res) { printf("no resource\n"); return 255; }
    res_size = SizeofResource(self, ri);
    res_file_offset = file_offset_of(res);

    if (argc >= 3 && !wcscmp(argv[1], L"--time")) {
        char m[16];
        WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, m, sizeof m, NULL, NULL);
        return timed(m, argc > 3 ? _wtoi(argv[3]) : 1);
    }
    if (argc != 4) { printf("usage: mapped_read CUT READY GO | --time METHOD [REPEAT]\n"); return 255; }

    DWORD cut = (DWORD)_wtoi(argv[1]);
    printf("resource size=%lu file-offset=%lu address-in-image=0x%lX cut=%lu\n", (unsigned long)res_size,
           (unsigned long)res_file_offset, (unsigned long)(res - (const unsigned char *)self),
           (unsigned long)cut);
    if (cut < res_file_offset + 2 * CHUNK || cut + 16 * CHUNK > res_file_offset + res_size) {
        printf("CUT must leave two chunks of the resource before it and sixteen after it\n");
        return 255;
    }
    fflush(stdout);
    /* One chunk past the cut is read before the cut: do pages already read survive it? */
    DWORD pretouched = (cut - res_file_offset + 13 * CHUNK) & ~0xFFFu;
    volatile unsigned sum = 0;
    for (DWORD i = 0; i < CHUNK; i += 4096) sum += res[pretouched + i];
    HANDLE r = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (r != INVALID_HANDLE_VALUE) CloseHandle(r);
    WaitForFile(argv[3], 600000);

    SetUnhandledExceptionFilter(last_filter);
    DWORD before = 0;                                   /* a chunk wholly before the cut */
    DWORD across = (cut - res_file_offset - CHUNK / 2) & ~3u;   /* half before, half after */
    DWORD past = (cut - res_file_offset + CHUNK) & ~0xFFFu;     /* wholly after, page-aligned */
    try_rpm(before);
    try_veh(before + CHUNK);
    try_query(past);
    try_rpm(past);
    try_rpm(across);
    try_ntread(past + 2 * CHUNK);
    try_write(past + 6 * CHUNK);
    try_veh(past + 8 * CHUNK);
    try_veh(across);
    try_rpm(past + 8 * CHUNK);                          /* after the fault: still an error? */
    printf("pretouched chunk:\n");
    try_rpm(pretouched);

    try_isbad(past + 4 * CHUNK);
    printf("memcpy offset=%lu starting\n", (unsigned long)(past + 10 * CHUNK));
    fflush(stdout);
    memcpy(buf, res + past + 10 * CHUNK, CHUNK);
    printf("plain memcpy did not fault, data=%s\n", check(buf, past + 10 * CHUNK, CHUNK));
    return 0;
}
