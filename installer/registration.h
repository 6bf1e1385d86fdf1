// The registration step: a deployed COM server handed to regsvr32.
#pragma once

#include <string>
#include <string_view>

#include "installer/entry_plan.h"
#include "platform/platform.h"

namespace vannix {

// Appended to the system directory; "{S}" becomes the target path.
inline constexpr std::u16string_view kRegistrationTemplate = u"regsvr32.exe /s \"{S}\"";
inline constexpr std::u16string_view kPlaceholder = u"{S}";

// Every occurrence of `placeholder`, left to right, not overlapping; the inserted text is not
// scanned again.
std::u16string ReplaceAll(std::u16string_view text, std::u16string_view placeholder,
                          std::u16string_view replacement);

// Runs regsvr32 silently on the entry's target when the entry is registered and a file stands
// there, and waits for it. Its outcome changes nothing.
void RegisterComponent(platform::Platform& platform, const EntryPlan& plan);

}  // namespace vannix
