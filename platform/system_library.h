// A library of the system directory, loaded on the first call that needs one of its exports (a
// run that needs none never loads it) and released with its owner.
#pragma once

#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace vannix::platform {

class SystemLibrary {
 public:
  // `forwarded_to`: the library that `name`'s exports forward to, loaded first, by its full
  // path, so that the loader finds it loaded when it resolves a forwarded export instead of
  // looking for it beside the program where the process cannot restrict its DLL search
  // (Windows 7 without KB2533623, Vista, XP).
  SystemLibrary(Platform& platform, std::u16string name, std::u16string forwarded_to = {})
      : platform_(platform), name_(std::move(name)), forwarded_to_(std::move(forwarded_to)),
        forwarded_(platform), library_(platform) {}

  // The export's address; 0 when the library or the export is missing.
  ProcAddress Export(const char* export_name) {
    if (!loaded_) {
      loaded_ = true;
      if (!forwarded_to_.empty())
        forwarded_ = UniqueLibrary(platform_, platform_.LoadSystemLibrary(forwarded_to_));
      library_ = UniqueLibrary(platform_, platform_.LoadSystemLibrary(name_));
    }
    return library_ ? platform_.GetProcAddress(library_.GetUnsafe(), export_name) : 0;
  }

 private:
  Platform& platform_;
  std::u16string name_;
  std::u16string forwarded_to_;
  bool loaded_ = false;
  UniqueLibrary forwarded_;  // declared first: released after the library that forwards to it
  UniqueLibrary library_;
};

}  // namespace vannix::platform
