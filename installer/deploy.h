// Deployment of the catalogue: each entry's payload written into the system directory, then
// registered where the catalogue asks for it.
#pragma once

#include "installer/entry_plan.h"
#include "installer/startup_registration.h"
#include "installer/windows_protection.h"
#include "platform/platform.h"
#include "platform/registry.h"

namespace vannix {

// What the deployment of every entry shares within one run. The registry is used only for what
// is scheduled for the next restart. sfc.dll is asked only on XP and Server 2003, when a
// replacement first fails: from Vista on, the files Windows protects belong to TrustedInstaller
// and refuse the open for deletion that tells a refused target from a held one anyway.
struct Deployment {
  Deployment(platform::Platform& platform, platform::Registry& registry)
      : platform(platform), registry(registry), layout(ProbeLayout(platform)),
        protection(platform, !layout.vista_or_later),
        start_up(platform, registry, layout.vista_or_later) {}

  platform::Platform& platform;
  platform::Registry& registry;
  const Layout layout;
  WindowsProtection protection;
  StartUpRegistration start_up;
};

// Deploys one entry. A failed copy is absorbed. A server whose replacement waits for the next
// restart is registered now, and again once the restart has put its file in place.
void InstallComponent(Deployment& deployment, const EntryPlan& plan);

// Deploys every catalogue entry, in catalogue order. Raises a Failure, before anything is
// written, when the Windows directory cannot be read.
void InstallComponents(platform::Platform& platform, platform::Registry& registry);

}  // namespace vannix
