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

// How one kind of handle is released: by a member of the interface that made it, with
// `Invalid` meaning none.
template <typename OwnerType, RawHandle Invalid, auto ReleaseMember>
struct HandleTraits {
  using Owner = OwnerType;
  static constexpr RawHandle kInvalid = Invalid;
  static void Release(Owner& owner, RawHandle handle) { (owner.*ReleaseMember)(handle); }
};

using UniqueFile =
    UniqueHandle<HandleTraits<Platform, kInvalidHandleValue, &Platform::CloseHandle>>;
using UniqueFind =
    UniqueHandle<HandleTraits<Platform, kInvalidHandleValue, &Platform::FindClose>>;
// Process and thread handles are null when absent.
using UniqueProcess = UniqueHandle<HandleTraits<Platform, 0, &Platform::CloseHandle>>;
using UniqueThread = UniqueProcess;
using UniqueLibrary = UniqueHandle<HandleTraits<Platform, 0, &Platform::FreeLibrary>>;
using UniqueResource = UniqueHandle<HandleTraits<Platform, 0, &Platform::FreeResource>>;
using UniqueRegistryKey = UniqueHandle<HandleTraits<Advapi32, 0, &Advapi32::RegCloseKey>>;
using UniqueCryptProvider =
    UniqueHandle<HandleTraits<Advapi32, 0, &Advapi32::CryptReleaseContext>>;
using UniqueCryptHash = UniqueHandle<HandleTraits<Advapi32, 0, &Advapi32::CryptDestroyHash>>;

}  // namespace vannix::platform
