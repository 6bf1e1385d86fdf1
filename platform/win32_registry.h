// The registry on real Windows: each member is the advapi32 call of the same name, advapi32
// loaded from the system directory on the first call (a run that never needs the registry,
// every installer run that schedules nothing for the next restart, never loads it).
#pragma once

#include "platform/registry.h"
#include "platform/system_library.h"

namespace vannix::platform {

class Win32Registry final : public Registry {
 public:
  explicit Win32Registry(Platform& platform) : advapi32_(platform, u"advapi32.dll") {}

  std::int32_t RegOpenKeyExW(RawHandle key, const std::u16string& subkey, std::uint32_t access,
                             RawHandle* result) override;
  std::int32_t RegEnumKeyExW(RawHandle key, std::uint32_t index, std::u16string* name) override;
  std::int32_t RegQueryValueExW(RawHandle key, const std::u16string& value_name,
                                std::uint32_t* type, std::vector<std::byte>* data) override;
  std::int32_t RegCloseKey(RawHandle key) override;
  std::int32_t RegCreateKeyExW(RawHandle key, const std::u16string& subkey, std::uint32_t access,
                               RawHandle* result) override;
  std::int32_t RegSetValueExW(RawHandle key, const std::u16string& value_name, std::uint32_t type,
                              const std::vector<std::byte>& data) override;
  std::int32_t RegDeleteValueW(RawHandle key, const std::u16string& value_name) override;
  std::int32_t RegFlushKey(RawHandle key) override;

 private:
  template <typename Function>
  Function Export(const char* name);

  SystemLibrary advapi32_;
};

}  // namespace vannix::platform
