// The in-process servers that COM classes name, as a 32-bit process's COM loader run by any user
// (SYSTEM among them) sees them: the machine's classes, HKLM\SOFTWARE\Classes\CLSID in the 32-bit
// view. Never HKEY_CLASSES_ROOT, into which Windows merges the current user's own classes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "check/installation_check.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"

namespace vannix {

class MachineClasses {
 public:
  // Opens the machine's CLSID key for reading; `system_dir` (ending with a backslash) is where a
  // bare file name in a class's InprocServer32 is looked for. Raises a Failure when the key
  // cannot be read; no key means no classes.
  MachineClasses(platform::Platform& platform, platform::Registry& registry,
                 std::u16string system_dir);

  // Each of `clsids` as this machine registers it for the file at `installed_path`: registered
  // when its InprocServer32 names that very file (see NamesInstalledFile). One lookup per class.
  // Raises a Failure when a class's key exists but cannot be read.
  std::vector<ClassCheck> Check(const std::vector<std::u16string>& clsids,
                                const std::u16string& installed_path,
                                const platform::FileInformation* installed);

  // The InprocServer32 of every class whose file name is one of `file_names` (any letter case):
  // a walk of all the machine's classes, for servers whose classes are unknown. Raises a Failure
  // when the classes cannot be listed.
  std::vector<std::u16string> FindInprocServers(const std::vector<std::u16string>& file_names);

 private:
  // The server path of one class as the loader resolves it (REG_EXPAND_SZ expanded, quotes
  // removed, a bare name in the system directory); none when it has no string InprocServer32
  // default value.
  std::optional<std::u16string> ServerOf(const std::u16string& clsid);
  // Whether the class's TreatAs names another class, to which COM then sends its clients.
  bool TreatedAsAnother(const std::u16string& clsid);

  platform::Platform& platform_;
  platform::Registry& registry_;
  std::u16string system_dir_;
  platform::UniqueRegistryKey classes_;
};

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

}  // namespace vannix
