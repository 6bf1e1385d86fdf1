#include "installer/payload_copy.h"

#include "installer/failure.h"
#include "installer/staging_copy.h"
#include "installer/work_files.h"

namespace vannix {

Placement CopyPayload(platform::Platform& platform, WindowsProtection& protection,
                      const EntryPlan& plan) {
  // Looked up before anything on disk is touched: a missing payload changes nothing.
  const platform::RawHandle module = platform.GetModuleHandleW();
  const platform::RawHandle resource_info =
      platform.FindResourceW(module, plan.resource_name, platform::kRtRcdata);
  if (resource_info == 0) {
    throw Failure("CopyError", u"The payload " + plan.resource_name + u" is missing");
  }
  RemoveStrayWorkFiles(platform, plan.target_path);
  const std::u16string staging = StagingCopyPath(plan.target_path);
  WriteStagingCopy(platform, module, resource_info, staging);
  return PutInPlace(platform, protection, staging, plan.target_path);
}

}  // namespace vannix
