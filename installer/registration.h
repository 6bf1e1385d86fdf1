// The registration step: a deployed COM server handed to regsvr32.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vannix {

// Appended to the system directory; "{S}" becomes the target path.
inline constexpr std::u16string_view kRegistrationTemplate = u"regsvr32.exe /s \"{S}\"";
inline constexpr std::u16string_view kPlaceholder = u"{S}";

// Every occurrence of `placeholder`, left to right, not overlapping; the inserted text is not
// scanned again.
std::u16string ReplaceAll(std::u16string_view text, std::u16string_view placeholder,
                          std::u16string_view replacement);

// The program the command starts: the command's text up to "regsvr32.exe" included; empty
// for a command not built from the template.
std::u16string RegistrationTool(std::u16string_view command);

// The system directory that program lies in, with its closing backslash; likewise empty.
std::u16string RegistrationDirectory(std::u16string_view command);

// Runs regsvr32 silently on `target_path` when `Register` is set and a file stands there, and
// waits for it. Its outcome changes nothing.
void RegisterComponent(platform::Platform& platform, bool Register,
                       const std::u16string& target_path, const std::u16string& command);

}  // namespace vannix
