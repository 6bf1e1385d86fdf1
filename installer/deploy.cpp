#include "installer/deploy.h"

#include <optional>

#include "installer/catalogue.h"
#include "installer/payload_copy.h"
#include "installer/registration.h"
#include "installer/waiting_copy.h"

namespace vannix {

void InstallComponent(Deployment& deployment, const EntryPlan& plan) {
  WaitingCopy waiting(deployment.platform, deployment.registry, deployment.start_up, plan);
  std::optional<Placement> placement;
  try {
    waiting.RemoveEarlier();
    placement = CopyPayload(deployment.platform, deployment.protection, plan);
    if (placement == Placement::kHeld) placement = waiting.WaitForRestart();
  } catch (...) {
    // A copy that fails leaves the earlier file in place; the installation goes on regardless.
  }
  RegisterComponent(deployment.platform, plan);
  if (placement == Placement::kInPlace) waiting.Settle();
}

void InstallComponents(platform::Platform& platform, platform::Registry& registry) {
  Deployment deployment(platform, registry);
  for (const ComponentEntry& entry : kCatalogue)
    InstallComponent(deployment, PlanEntry(deployment.layout, entry));
}

}  // namespace vannix
