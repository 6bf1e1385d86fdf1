#include "installer/run_lock.h"

namespace vannix {

// In the global namespace, so that runs in other sessions (a deployment agent as SYSTEM, an
// administrator over Remote Desktop) wait for each other too.
constexpr char16_t kLockName[] = u"Global\\setup_vannix";

RunLock::RunLock(platform::Platform& platform)
    : platform_(platform), mutex_(platform, platform.CreateMutexW(kLockName)) {
  if (!mutex_) return;
  const std::uint32_t wait = platform.WaitForSingleObject(mutex_.GetUnsafe(), platform::kInfinite);
  // Abandoned: a run that held it ended without letting go (killed); this one owns it now.
  owned_ = wait == platform::kWaitObject0 || wait == platform::kWaitAbandoned;
}

RunLock::~RunLock() {
  if (owned_) platform_.ReleaseMutex(mutex_.GetUnsafe());
}

}  // namespace vannix
