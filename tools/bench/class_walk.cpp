// The installation check's registry walk alone, then the whole check (benchmarks only, never
// shipped).
//
// Runs the check's own walk of the machine's classes (MachineClasses::FindInprocServers, which
// the check makes only for servers whose classes are unknown) over the six servers' file names,
// through a decorator of the advapi32 calls that counts them, and times it with
// QueryPerformanceCounter; then the check's own CheckInstallation (with the digest table of the
// check's resources), timing its registry and CryptoAPI calls. Writes "key=value" lines to
// C:\vannix-walk.txt: classes (keys listed), opened, queried, found (servers), seconds (the
// walk); check_seconds (the whole CheckInstallation), check_registry_seconds and
// check_crypt_seconds (the time inside its registry and CryptoAPI calls), check_opened (its
// registry keys opened).

#include <windows.h>

#include <cstdio>

#include "check/class_registrations.h"
#include "check/installation_check.h"
#include "check/payload_digests.h"
#include "installer/catalogue.h"
#include "installer/system_dir.h"
#include "platform/win32_advapi32.h"
#include "platform/win32_platform.h"

namespace {

using namespace vannix::platform;

double Now() {
  LARGE_INTEGER counter, frequency;
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Adds the time a call takes to `sum`.
template <typename Call>
auto Timed(double& sum, Call call) -> decltype(call()) {
  const double t0 = Now();
  auto result = call();
  sum += Now() - t0;
  return result;
}

class CountingAdvapi32 final : public Advapi32 {
 public:
  explicit CountingAdvapi32(Advapi32& inner) : inner_(inner) {}

  unsigned listed = 0, opened = 0, queried = 0;
  double registry_seconds = 0, crypt_seconds = 0;

  std::int32_t RegOpenKeyExW(RawHandle key, const std::u16string& subkey, std::uint32_t access,
                             RawHandle* result) override {
    ++opened;
    return Timed(registry_seconds, [&] { return inner_.RegOpenKeyExW(key, subkey, access, result); });
  }
  std::int32_t RegEnumKeyExW(RawHandle key, std::uint32_t index, std::u16string* name) override {
    const std::int32_t status =
        Timed(registry_seconds, [&] { return inner_.RegEnumKeyExW(key, index, name); });
    if (status == kErrorSuccess) ++listed;
    return status;
  }
  std::int32_t RegQueryValueExW(RawHandle key, const std::u16string& value_name,
                                std::uint32_t* type, std::vector<std::byte>* data) override {
    ++queried;
    return Timed(registry_seconds,
                 [&] { return inner_.RegQueryValueExW(key, value_name, type, data); });
  }
  std::int32_t RegCloseKey(RawHandle key) override {
    return Timed(registry_seconds, [&] { return inner_.RegCloseKey(key); });
  }
  std::int32_t RegCreateKeyExW(RawHandle key, const std::u16string& subkey, std::uint32_t access,
                               RawHandle* result) override {
    return inner_.RegCreateKeyExW(key, subkey, access, result);
  }
  std::int32_t RegSetValueExW(RawHandle key, const std::u16string& value_name, std::uint32_t type,
                              const std::vector<std::byte>& data) override {
    return inner_.RegSetValueExW(key, value_name, type, data);
  }
  std::int32_t RegDeleteValueW(RawHandle key, const std::u16string& value_name) override {
    return inner_.RegDeleteValueW(key, value_name);
  }
  std::int32_t RegFlushKey(RawHandle key) override { return inner_.RegFlushKey(key); }
  bool CryptAcquireContextW(RawHandle* provider, std::uint32_t provider_type,
                            std::uint32_t flags) override {
    return inner_.CryptAcquireContextW(provider, provider_type, flags);
  }
  bool CryptCreateHash(RawHandle provider, std::uint32_t algorithm, RawHandle* hash) override {
    return Timed(crypt_seconds, [&] { return inner_.CryptCreateHash(provider, algorithm, hash); });
  }
  bool CryptHashData(RawHandle hash, const std::byte* data, std::uint32_t size) override {
    return Timed(crypt_seconds, [&] { return inner_.CryptHashData(hash, data, size); });
  }
  bool CryptGetHashParam(RawHandle hash, std::uint32_t parameter,
                         std::vector<std::byte>* value) override {
    return Timed(crypt_seconds, [&] { return inner_.CryptGetHashParam(hash, parameter, value); });
  }
  bool CryptDestroyHash(RawHandle hash) override { return inner_.CryptDestroyHash(hash); }
  bool CryptReleaseContext(RawHandle provider) override {
    return inner_.CryptReleaseContext(provider);
  }

 private:
  Advapi32& inner_;
};

}  // namespace

int wmain() {
  Win32Platform platform;
  Win32Advapi32 win32_advapi32;
  CountingAdvapi32 advapi32(win32_advapi32);
  std::vector<std::u16string> names;
  for (const vannix::ComponentEntry& entry : vannix::kCatalogue)
    if (entry.Register) names.push_back(vannix::EntryFileName(entry));
  const std::u16string system_dir = vannix::GetSystemDir(platform);
  const double t0 = Now();
  const std::vector<std::u16string> servers =
      vannix::MachineClasses(platform, advapi32, system_dir).FindInprocServers(names);
  const double seconds = Now() - t0;
  const unsigned listed = advapi32.listed, opened = advapi32.opened, queried = advapi32.queried;
  advapi32.registry_seconds = 0;
  advapi32.opened = 0;
  const double t1 = Now();
  const vannix::InstallationCheck check =
      vannix::CheckInstallation(platform, advapi32, vannix::LoadPayloadDigests(platform));
  const double check_seconds = Now() - t1;
  std::FILE* out = std::fopen("C:\\vannix-walk.txt", "w");
  if (out == nullptr) return 1;
  std::fprintf(out, "classes=%u\nopened=%u\nqueried=%u\nfound=%u\nseconds=%.6f\n"
               "check_seconds=%.6f\ncheck_registry_seconds=%.6f\ncheck_crypt_seconds=%.6f\n"
               "check_complete=%d\ncheck_opened=%u\n", listed, opened, queried,
               static_cast<unsigned>(servers.size()), seconds, check_seconds,
               advapi32.registry_seconds, advapi32.crypt_seconds, check.Judge() == vannix::Verdict::kComplete ? 1 : 0, advapi32.opened);
  std::fclose(out);
  return 0;
}
