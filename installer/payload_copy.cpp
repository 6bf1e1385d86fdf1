#include "installer/payload_copy.h"

#include "installer/failure.h"
#include "installer/staging_copy.h"
#include "installer/work_files.h"

namespace vannix {

Replacement CopyPayload(platform::Platform& platform, platform::Advapi32& advapi32,
                        WindowsProtection& protection, const std::u16string& resource_name,
                        const std::u16string& target_path) {
  // Looked up before anything on disk is touched: a missing payload changes nothing.
  const platform::RawHandle module = platform.GetModuleHandleW();
  const platform::RawHandle resource_info =
      platform.FindResourceW(module, resource_name, platform::kRtRcdata);
  if (resource_info == 0) {
    throw Failure("CopyError", u"The payload " + resource_name + u" is missing");
  }
  const std::u16string staging = StagingPathFor(target_path);
  WriteStagingCopy(platform, module, resource_info, staging);
  return PutInPlace(platform, advapi32, protection, staging, target_path);
}

}  // namespace vannix
