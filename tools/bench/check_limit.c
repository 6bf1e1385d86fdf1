/* The practical limit of the installation check's work on the files: the eleven files in the system
 * directory for 32-bit images read and hashed, nothing else. The check's own API and chunk size:
 * CreateFileW (sequential scan), ReadFile of 65,536-byte chunks, CryptoAPI's AES provider
 * (PROV_RSA_AES, CRYPT_VERIFYCONTEXT) and CALG_SHA_256. No table, no comparison, no registry.
 * Exit code: the number of files that could not be hashed. */
#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>

static const wchar_t* const kFiles[11] = {
    L"KorviX.dll",   L"KorviDataSetX.dll", L"msxml6.dll",      L"KorviGovX.ocx",
    L"midas.dll",    L"stdvcl40.dll",      L"ssleay32.dll",    L"libeay32.dll",
    L"msxml6r.dll",  L"qelKorviLibUNICODE.dll", L"qelKorviLib.dll"};
enum { kChunk = 65536 };

int wmain(void) {
  wchar_t dir[MAX_PATH];
  UINT length = GetSystemWow64DirectoryW(dir, MAX_PATH);
  if (length == 0) length = GetSystemDirectoryW(dir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 100;
  HCRYPTPROV provider;
  if (!CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return 101;
  /* From the heap, as the check's buffer is: both count as private memory. */
  BYTE* buffer = HeapAlloc(GetProcessHeap(), 0, kChunk);
  if (buffer == NULL) return 102;
  int failures = 0;
  for (int i = 0; i < 11; ++i) {
    wchar_t path[MAX_PATH];
    _snwprintf(path, MAX_PATH, L"%ls\\%ls", dir, kFiles[i]);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    HCRYPTHASH hash;
    if (file == INVALID_HANDLE_VALUE) { ++failures; continue; }
    if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
      ++failures;
      CloseHandle(file);
      continue;
    }
    DWORD read;
    BOOL ok = TRUE;
    while ((ok = ReadFile(file, buffer, kChunk, &read, NULL)) && read > 0)
      if (!CryptHashData(hash, buffer, read, 0)) { ok = FALSE; break; }
    BYTE digest[32];
    DWORD size = sizeof digest;
    if (!ok || !CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) ++failures;
    CryptDestroyHash(hash);
    CloseHandle(file);
  }
  HeapFree(GetProcessHeap(), 0, buffer);
  CryptReleaseContext(provider, 0);
  return failures;
}
