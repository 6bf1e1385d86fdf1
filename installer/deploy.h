// Deployment of the catalogue: each entry's payload written into the system directory, then
// registered where the catalogue asks for it.
#pragma once

#include <string>
#include <string_view>

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
void InstallComponent(platform::Platform& platform, std::u16string_view Extension,
                      std::u16string_view BaseName, bool Register);

// Deploys every catalogue entry, in catalogue order.
void InstallComponents(platform::Platform& platform);

}  // namespace vannix
