// Move-only owners for the handles the programs acquire, one type per kind of handle, so that
// the invalid value and the release call always match the handle (a file's invalid value is
// INVALID_HANDLE_VALUE, a process's is null). Each releases through the interface that made it,
// which lets the test fake prove that every handle is released, in reverse order of acquisition.
#pragma once

#include <utility>

#include "platform/hashing.h"
#include "platform/platform.h"
#include "platform/registry.h"

namespace vannix::platform {

template <typename Traits>
class UniqueHandle {
 public:
  using Owner = typename Traits::Owner;

  // Empty, to be filled by the call that acquires the handle (put()).
  explicit UniqueHandle(Owner& owner) : owner_(&owner), value_(Traits::kInvalid) {}
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

  // Where the acquiring call writes the handle, so that no raw handle is ever held unowned.
  // Whatever the owner held is released first.
  RawHandle* put() {
    reset();
    return &value_;
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
using UniqueRegistryKey = UniqueHandle<HandleTraits<Registry, 0, &Registry::RegCloseKey>>;
using UniqueCryptProvider =
    UniqueHandle<HandleTraits<Hashing, 0, &Hashing::CryptReleaseContext>>;
using UniqueCryptHash = UniqueHandle<HandleTraits<Hashing, 0, &Hashing::CryptDestroyHash>>;

}  // namespace vannix::platform
