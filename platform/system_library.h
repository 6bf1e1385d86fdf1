// A library of the system directory, loaded on the first call that needs one of its exports (a
// run that needs none never loads it) and released with its owner.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace vannix::platform {

class SystemLibrary {
 public:
  // `first`: libraries that `name` forwards its exports to or loads by their bare names, loaded
  // first, each by its full path, so that the loader finds them loaded instead of looking for
  // them beside the program where the process cannot restrict its DLL search (Windows 7
  // without KB2533623, Vista, XP). One that is missing is no loss.
  SystemLibrary(Platform& platform, std::u16string name, std::vector<std::u16string> first = {})
      : platform_(platform), name_(std::move(name)), first_names_(std::move(first)),
        library_(platform) {}

  // The export's address; 0 when the library or the export is missing.
  ProcAddress Export(const char* export_name) {
    if (!loaded_) {
      loaded_ = true;
      for (const std::u16string& first : first_names_)
        first_.emplace_back(platform_, platform_.LoadSystemLibrary(first));
      library_ = UniqueLibrary(platform_, platform_.LoadSystemLibrary(name_));
    }
    return library_ ? platform_.GetProcAddress(library_.GetUnsafe(), export_name) : 0;
  }

  // Released in reverse order of loading (a vector destroys its elements first to last).
  ~SystemLibrary() {
    library_.reset();
    while (!first_.empty()) first_.pop_back();
  }

 private:
  Platform& platform_;
  std::u16string name_;
  std::vector<std::u16string> first_names_;
  bool loaded_ = false;
  std::vector<UniqueLibrary> first_;
  UniqueLibrary library_;
};

}  // namespace vannix::platform
