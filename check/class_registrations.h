// The in-process servers that COM classes name, as a 32-bit process's COM loader sees them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/advapi32.h"
#include "platform/platform.h"

namespace vannix {

// The InprocServer32 default values of every class in the 32-bit view of HKCR\CLSID whose file
// name is one of `file_names` (any letter case), as the loader resolves them: REG_EXPAND_SZ
// expanded, surrounding quotes removed, and a bare file name taken to be in `system_dir` (which
// ends with a backslash). Raises a Failure when the classes cannot be read at all; no CLSID key
// means no classes.
std::vector<std::u16string> FindInprocServers(platform::Platform& platform,
                                              platform::Advapi32& advapi32,
                                              const std::vector<std::u16string>& file_names,
                                              const std::u16string& system_dir);

// Whether one of `servers` is the file at `installed_path`. A server path that can be opened
// (from this 32-bit process, so System32 means SysWOW64 under WOW64, and short names and letter
// case do not matter) must be the same file: same volume serial number and file index; one that
// cannot be opened must name the installed path, letter case aside.
bool NamesInstalledFile(platform::Platform& platform, const std::vector<std::u16string>& servers,
                        const std::u16string& installed_path,
                        const platform::FileInformation* installed);

// The volume serial number and file index of the file at `path`, from an open for its
// attributes alone (which sharing never refuses); none when it cannot be opened.
std::optional<platform::FileInformation> FileIdentity(platform::Platform& platform,
                                                      const std::u16string& path);

// The file-name part of a path: the text after its last backslash or slash.
std::u16string FileNameOf(const std::u16string& path);

}  // namespace vannix
