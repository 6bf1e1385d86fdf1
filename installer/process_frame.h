// The process around the installation: start-up, failure handling and shutdown.
#pragma once

#include <functional>

#include "installer/failure.h"
#include "platform/platform.h"

namespace vannix {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitRuntimeError = 217;

class ProcessFrame {
 public:
  explicit ProcessFrame(platform::Platform& platform) : platform_(platform) {}
  ProcessFrame(const ProcessFrame&) = delete;
  ProcessFrame& operator=(const ProcessFrame&) = delete;

  // Initialises OLE and COM, runs `install`, shuts down; returns the process exit code. A
  // failure that escapes `install` is shown in one box and gives 1; a failure while the process
  // initialises gives 217. Failures the installation absorbed leave it at 0.
  int Run(const std::function<void()>& install);

  // For the process-level exception filter: reports a fault raised by the system during the
  // run, shuts down and returns the exit code.
  int OnSystemFault(const Failure& failure);

 private:
  void Shutdown();

  platform::Platform& platform_;
  bool ole_initialised_ = false;
  bool com_initialised_ = false;
  bool shut_down_ = false;
};

}  // namespace vannix
