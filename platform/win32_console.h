// Text to the standard output and error of a console program.
#pragma once

#include <string_view>

namespace vannix::platform {

// UTF-16 to a console window; UTF-8 to a file or a pipe, so that redirected output keeps every
// character of a path whatever the console's code page.
void WriteStandardOutput(std::u16string_view text);
void WriteStandardError(std::u16string_view text);

}  // namespace vannix::platform
