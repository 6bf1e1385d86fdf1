#include "installer/entry_plan.h"

#include "installer/file_exists.h"
#include "installer/system_dir.h"
#include "installer/text.h"

namespace vannix {

Layout ProbeLayout(platform::Platform& platform) {
  Layout layout;
  layout.wow64 = IsWow64(platform);
  layout.system_dir = SystemDirFor(platform, layout.wow64);
  layout.vista_or_later = FileExists(platform, layout.system_dir + u"taskschd.dll");
  return layout;
}

EntryPlan PlanEntry(const Layout& layout, const ComponentEntry& entry) {
  EntryPlan plan;
  plan.resource_name = layout.wow64 ? u"64_" : u"32_";
  // A BaseName never names a resource by path.
  plan.resource_name += FileNameOf(entry.BaseName);
  plan.file_name = EntryFileName(entry);
  plan.target_path = layout.system_dir + plan.file_name;
  plan.Register = entry.Register;
  plan.tool_directory = layout.system_dir;
  plan.tool = layout.system_dir + u"regsvr32.exe";
  return plan;
}

}  // namespace vannix
