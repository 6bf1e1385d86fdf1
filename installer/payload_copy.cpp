#include "installer/payload_copy.h"

#include "installer/copy_failure.h"
#include "installer/failure.h"
#include "installer/staging_copy.h"
#include "installer/work_files.h"

namespace vannix {

Replacement CopyPayload(platform::Platform& platform, WindowsProtection& protection,
                        const std::u16string& resource_name, const std::u16string& target_path) {
  // Looked up before anything on disk is touched: a missing payload changes nothing.
  const platform::RawHandle module = platform.GetModuleHandleW();
  const platform::RawHandle resource_info =
      platform.FindResourceW(module, resource_name, platform::kRtRcdata);
  if (resource_info == 0) {
    throw Failure("CopyError", u"The payload " + resource_name + u" is missing");
  }
  // A copy an earlier run left for the restart goes first, whatever this run achieves: an
  // installer of an older release may have left it partial, and a restart renames whatever
  // Windows' list names. Should this run fail, the rename then finds no source, which Windows
  // skips, and the target stays as it is.
  const std::u16string waiting = ReplacementPathFor(target_path);
  bool earlier = false;
  if (!RemoveLeftover(platform, waiting, &earlier))
    RaiseCopyFailure(platform, u"Cannot remove", waiting);
  const std::u16string staging = StagingPathFor(target_path);
  WriteStagingCopy(platform, module, resource_info, staging);
  const Replacement replacement = PutInPlace(platform, protection, staging, target_path);
  return replacement == Replacement::kDone && earlier ? Replacement::kDoneOverAnEarlierRun
                                                      : replacement;
}

}  // namespace vannix
