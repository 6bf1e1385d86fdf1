#include "installer/entry_plan.h"

#include "installer/file_exists.h"
#include "installer/system_dir.h"
#include "installer/text.h"

namespace vannix {

Layout ProbeLayout(platform::Platform& platform) {
  const bool wow64 = IsWow64(platform);
  Layout layout = LayoutFor(wow64, SystemDirFor(platform, wow64));
  layout.vista_or_later = FileExists(platform, layout.native_system_dir + u"taskschd.dll");
  return layout;
}

Layout LayoutFor(bool wow64, std::u16string system_dir, bool vista_or_later) {
  // Sysnative stands in for the last part of "<Windows directory>\SysWOW64\".
  constexpr std::u16string_view kWow64 = u"SysWOW64\\";
  std::u16string native =
      wow64 ? system_dir.substr(0, system_dir.size() - kWow64.size()) + u"Sysnative\\"
            : system_dir;
  return Layout{wow64, std::move(system_dir), std::move(native), vista_or_later};
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
  plan.native_system_dir = layout.native_system_dir;
  return plan;
}

}  // namespace vannix
