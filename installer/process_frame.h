// The process around the installation: start-up, failure handling and shutdown.
#pragma once

#include <cstdint>
#include <functional>

#include "installer/failure.h"
#include "platform/platform.h"

namespace vannix {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitRuntimeError = 217;  // a fault before the run began

class ProcessFrame {
 public:
  explicit ProcessFrame(platform::Platform& platform) : platform_(platform) {}
  ProcessFrame(const ProcessFrame&) = delete;
  ProcessFrame& operator=(const ProcessFrame&) = delete;

  // Runs `install` and returns the process exit code: 0 when the installation absorbed its
  // failures, 1 when one escaped it (shown in one box first).
  int Run(const std::function<void()>& install);

  // For the process-level exception filter: reports a fault raised by the system during the
  // run and returns the exit code.
  int OnSystemFault(const Failure& failure);

 private:
  int Fail(const Failure& failure);

  platform::Platform& platform_;
  bool reported_ = false;
};

// For the process-level exception filter when the process itself fails to start, before any
// frame runs: shows the runtime error box and returns the exit code (217).
int OnStartUpFault(platform::Platform& platform, std::uintptr_t address);

}  // namespace vannix
