// Move-only owners for the handles the installer acquires, one type per kind of handle, so that
// the invalid value and the release call always match the handle (a file's invalid value is
// INVALID_HANDLE_VALUE, a process's is null). Each releases through the platform, which lets
// the test fake prove that every handle is released, in reverse order of acquisition.
#pragma once

#include <utility>

#include "platform/platform.h"

namespace vannix::platform {

template <typename Traits>
class UniqueHandle {
 public:
  UniqueHandle(Platform& platform, RawHandle value) : platform_(&platform), value_(value) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept
      : platform_(other.platform_), value_(std::exchange(other.value_, Traits::kInvalid)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      platform_ = other.platform_;
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
    if (valid()) Traits::Release(*platform_, std::exchange(value_, Traits::kInvalid));
  }

 private:
  Platform* platform_;
  RawHandle value_;
};

struct FileTraits {
  static constexpr RawHandle kInvalid = kInvalidHandleValue;
  static void Release(Platform& p, RawHandle h) { p.CloseHandle(h); }
};
struct FindTraits {
  static constexpr RawHandle kInvalid = kInvalidHandleValue;
  static void Release(Platform& p, RawHandle h) { p.FindClose(h); }
};
struct KernelObjectTraits {  // process and thread handles: null when absent
  static constexpr RawHandle kInvalid = 0;
  static void Release(Platform& p, RawHandle h) { p.CloseHandle(h); }
};
struct LibraryTraits {
  static constexpr RawHandle kInvalid = 0;
  static void Release(Platform& p, RawHandle h) { p.FreeLibrary(h); }
};
struct ResourceTraits {
  static constexpr RawHandle kInvalid = 0;
  static void Release(Platform& p, RawHandle h) { p.FreeResource(h); }
};

using UniqueFile = UniqueHandle<FileTraits>;
using UniqueFind = UniqueHandle<FindTraits>;
using UniqueProcess = UniqueHandle<KernelObjectTraits>;
using UniqueThread = UniqueHandle<KernelObjectTraits>;
using UniqueLibrary = UniqueHandle<LibraryTraits>;
using UniqueResource = UniqueHandle<ResourceTraits>;

}  // namespace vannix::platform
