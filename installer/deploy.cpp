#include "installer/deploy.h"

#include <optional>

#include "installer/catalogue.h"
#include "installer/payload_copy.h"
#include "installer/registration.h"
#include "installer/restart_registration.h"
#include "installer/system_dir.h"

namespace vannix {
namespace {

// The text after the last backslash or colon: a BaseName never names a resource by path.
std::u16string_view FileNamePart(std::u16string_view base_name) {
  const auto separator = base_name.find_last_of(u"\\:");
  return separator == std::u16string_view::npos ? base_name : base_name.substr(separator + 1);
}

}  // namespace

EntryPlan PlanComponent(platform::Platform& platform, std::u16string_view Extension,
                        std::u16string_view BaseName) {
  EntryPlan plan;
  plan.resource_name = IsWow64(platform) ? u"64_" : u"32_";
  plan.resource_name += FileNamePart(BaseName);
  plan.target_path = GetSystemDir(platform);
  plan.target_path += BaseName;
  plan.target_path += Extension;
  plan.command = GetSystemDir(platform) + std::u16string(kRegistrationTemplate);
  return plan;
}

void InstallComponent(platform::Platform& platform, platform::Advapi32& advapi32,
                      WindowsProtection& protection, std::u16string_view Extension,
                      std::u16string_view BaseName, bool Register) {
  const EntryPlan plan = PlanComponent(platform, Extension, BaseName);
  std::optional<Replacement> replacement;
  try {
    replacement = CopyPayload(platform, protection, plan.resource_name, plan.target_path);
  } catch (...) {
    // A copy that fails leaves the earlier file in place; the installation goes on regardless.
  }
  if (replacement == Replacement::kHeld) {
    // The registration of the file a restart puts in place is scheduled first, and the rename
    // only then: a run that ends in between (a power loss, a deployment tool's time limit
    // during the registration below) must never leave a server to be put in place that
    // nothing registers. Without either, the target stays as it is.
    const bool registration =
        !Register || ScheduleRegistration(platform, advapi32, plan.command, plan.target_path);
    if (!registration || !ScheduleReplacement(platform, advapi32, plan.target_path)) {
      AbandonReplacement(platform, plan.target_path);
      if (registration && Register)
        CancelRegistration(platform, advapi32, plan.command, plan.target_path);
    }
  }
  RegisterComponent(platform, Register, plan.target_path, plan.command);
  // This run's file is in place and registered: an earlier run's registration for the restart
  // would only do it again, or run on a file of a later release.
  if (Register && (replacement == Replacement::kDoneOverAnEarlierRun ||
                   (replacement == Replacement::kDone &&
                    IsTaskScheduled(platform, plan.command, plan.target_path)))) {
    CancelRegistration(platform, advapi32, plan.command, plan.target_path);
  }
}

void InstallComponents(platform::Platform& platform, platform::Advapi32& advapi32) {
  // Asked only about a target whose replacement failed.
  WindowsProtection protection(platform, GetSystemDir(platform));
  for (const ComponentEntry& entry : kCatalogue)
    InstallComponent(platform, advapi32, protection, entry.Extension, entry.BaseName, entry.Register);
}

}  // namespace vannix
