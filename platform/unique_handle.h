// Move-only owners for the handles the programs acquire, one type per kind of handle, so that
// the invalid value and the release call always match the handle (a file's invalid value is
// INVALID_HANDLE_VALUE, a process's is null). Each releases through the interface that made it,
// which lets the test fake prove that every handle is released, in reverse order of acquisition.
#pragma once

#include <utility>

#include "platform/advapi32.h"
#include "platform/platform.h"

namespace vannix::platform {

template <typename Traits>
class UniqueHandle {
 public:
  using Owner = typename Traits::Owner;

  UniqueHandle(Owner& owner, RawHandle value) : owner_(&owner), value_(value) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept
      : owner_(other.owner_), value_(std::exchange(other.value_, Traits::kInvalid)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      owner_ = other.owner_;
      value_ = std::exchange(other.value_, Traits::kInvalid);
    }
    return *this;
  }
  ~UniqueHandle() { reset(); }

  bool valid() const { return value_ != Traits::kInvalid; }
  explicit operator bool() const { return valid(); }
  // Every escape of the raw value is visible at the call site.
  RawHandle GetUnsafe() const { return value_; }

  void reset() {
    if (valid()) Traits::Release(*owner_, std::exchange(value_, Traits::kInvalid));
  }

 private:
  Owner* owner_;
  RawHandle value_;
};

struct FileTraits {
  using Owner = Platform;
  static constexpr RawHandle kInvalid = kInvalidHandleValue;
  static void Release(Platform& p, RawHandle h) { p.CloseHandle(h); }
};
struct FindTraits {
  using Owner = Platform;
  static constexpr RawHandle kInvalid = kInvalidHandleValue;
  static void Release(Platform& p, RawHandle h) { p.FindClose(h); }
};
struct KernelObjectTraits {  // process and thread handles: null when absent
  using Owner = Platform;
  static constexpr RawHandle kInvalid = 0;
  static void Release(Platform& p, RawHandle h) { p.CloseHandle(h); }
};
struct LibraryTraits {
  using Owner = Platform;
  static constexpr RawHandle kInvalid = 0;
  static void Release(Platform& p, RawHandle h) { p.FreeLibrary(h); }
};
struct ResourceTraits {
  using Owner = Platform;
  static constexpr RawHandle kInvalid = 0;
  static void Release(Platform& p, RawHandle h) { p.FreeResource(h); }
};

struct RegistryKeyTraits {
  using Owner = Advapi32;
  static constexpr RawHandle kInvalid = 0;
  static void Release(Advapi32& a, RawHandle h) { a.RegCloseKey(h); }
};
struct CryptProviderTraits {
  using Owner = Advapi32;
  static constexpr RawHandle kInvalid = 0;
  static void Release(Advapi32& a, RawHandle h) { a.CryptReleaseContext(h); }
};
struct CryptHashTraits {
  using Owner = Advapi32;
  static constexpr RawHandle kInvalid = 0;
  static void Release(Advapi32& a, RawHandle h) { a.CryptDestroyHash(h); }
};

using UniqueFile = UniqueHandle<FileTraits>;
using UniqueFind = UniqueHandle<FindTraits>;
using UniqueProcess = UniqueHandle<KernelObjectTraits>;
using UniqueThread = UniqueHandle<KernelObjectTraits>;
using UniqueLibrary = UniqueHandle<LibraryTraits>;
using UniqueResource = UniqueHandle<ResourceTraits>;
using UniqueRegistryKey = UniqueHandle<RegistryKeyTraits>;
using UniqueCryptProvider = UniqueHandle<CryptProviderTraits>;
using UniqueCryptHash = UniqueHandle<CryptHashTraits>;

}  // namespace vannix::platform
