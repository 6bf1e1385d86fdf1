// The installation check's registry walk alone (benchmarks only, never shipped).
//
// Runs the check's own FindInprocServers over the six servers' file names, as the check does
// after hashing, through a decorator of the advapi32 calls that counts them, and times it with
// QueryPerformanceCounter. Writes "classes=<keys listed> opened=<RegOpenKeyExW calls>
// queried=<RegQueryValueExW calls> found=<servers found> seconds=<walk>" to C:\vannix-walk.txt.

#include <windows.h>

#include <cstdio>

#include "check/class_registrations.h"
#include "installer/catalogue.h"
#include "platform/win32_advapi32.h"
#include "platform/win32_platform.h"

namespace {

using namespace vannix::platform;

class CountingAdvapi32 final : public Advapi32 {
 public:
  explicit CountingAdvapi32(Advapi32& inner) : inner_(inner) {}

  unsigned listed = 0, opened = 0, queried = 0;

  std::int32_t RegOpenKeyExW(RawHandle key, const std::u16string& subkey, std::uint32_t access,
                             RawHandle* result) override {
    ++opened;
    return inner_.RegOpenKeyExW(key, subkey, access, result);
  }
  std::int32_t RegEnumKeyExW(RawHandle key, std::uint32_t index, std::u16string* name) override {
    const std::int32_t status = inner_.RegEnumKeyExW(key, index, name);
    if (status == kErrorSuccess) ++listed;
    return status;
  }
  std::int32_t RegQueryValueExW(RawHandle key, const std::u16string& value_name,
                                std::uint32_t* type, std::vector<std::byte>* data) override {
    ++queried;
    return inner_.RegQueryValueExW(key, value_name, type, data);
  }
  std::int32_t RegCloseKey(RawHandle key) override { return inner_.RegCloseKey(key); }
  bool CryptAcquireContextW(RawHandle* provider, std::uint32_t provider_type,
                            std::uint32_t flags) override {
    return inner_.CryptAcquireContextW(provider, provider_type, flags);
  }
  bool CryptCreateHash(RawHandle provider, std::uint32_t algorithm, RawHandle* hash) override {
    return inner_.CryptCreateHash(provider, algorithm, hash);
  }
  bool CryptHashData(RawHandle hash, const std::byte* data, std::uint32_t size) override {
    return inner_.CryptHashData(hash, data, size);
  }
  bool CryptGetHashParam(RawHandle hash, std::uint32_t parameter,
                         std::vector<std::byte>* value) override {
    return inner_.CryptGetHashParam(hash, parameter, value);
  }
  bool CryptDestroyHash(RawHandle hash) override { return inner_.CryptDestroyHash(hash); }
  bool CryptReleaseContext(RawHandle provider) override {
    return inner_.CryptReleaseContext(provider);
  }

 private:
  Advapi32& inner_;
};

double Now() {
  LARGE_INTEGER counter, frequency;
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain() {
  Win32Platform platform;
  Win32Advapi32 win32_advapi32;
  CountingAdvapi32 advapi32(win32_advapi32);
  std::vector<std::u16string> names;
  for (const vannix::ComponentEntry& entry : vannix::kCatalogue)
    if (entry.Register) names.push_back(vannix::EntryFileName(entry));
  const double t0 = Now();
  const std::vector<std::u16string> servers = vannix::FindInprocServers(platform, advapi32, names);
  const double seconds = Now() - t0;
  std::FILE* out = std::fopen("C:\\vannix-walk.txt", "w");
  if (out == nullptr) return 1;
  std::fprintf(out, "classes=%u\nopened=%u\nqueried=%u\nfound=%u\nseconds=%.6f\n",
               advapi32.listed, advapi32.opened, advapi32.queried,
               static_cast<unsigned>(servers.size()), seconds);
  std::fclose(out);
  return 0;
}
