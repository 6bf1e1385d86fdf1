// Deployment of the catalogue: each entry's payload written into the system directory, then
// registered where the catalogue asks for it.
#pragma once

#include <string>
#include <string_view>

#include "installer/windows_protection.h"
#include "platform/advapi32.h"
#include "platform/platform.h"

namespace vannix {

// The values derived for one entry before any file is touched.
struct EntryPlan {
  std::u16string resource_name;  // "32_KorviX": the variant prefix and the file-name part
  std::u16string target_path;    // system directory, BaseName, Extension
  std::u16string command;        // system directory and the regsvr32 template
};

EntryPlan PlanComponent(platform::Platform& platform, std::u16string_view Extension,
                        std::u16string_view BaseName);

// Deploys one entry. A failed copy is absorbed; a failure to work out where to write escapes.
// A registered entry whose replacement waits for the next restart is registered again then.
// `advapi32` is used only for what is scheduled for the next restart.
void InstallComponent(platform::Platform& platform, platform::Advapi32& advapi32,
                      WindowsProtection& protection, std::u16string_view Extension,
                      std::u16string_view BaseName, bool Register);

// Deploys every catalogue entry, in catalogue order.
void InstallComponents(platform::Platform& platform, platform::Advapi32& advapi32);

}  // namespace vannix
