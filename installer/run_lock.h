// One installer at a time on a machine: two runs at once would race for the same work files,
// for Windows' list of renames (read, then extended) and for the same task names.
#pragma once

#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace vannix {

class RunLock {
 public:
  // Waits, without a time limit, until no other installer runs. Where the lock cannot be had
  // at all, the installation goes on without it: a lock is no reason not to install.
  explicit RunLock(platform::Platform& platform);
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();

 private:
  platform::Platform& platform_;
  platform::UniqueMutex mutex_;
  bool owned_ = false;
};

}  // namespace vannix
