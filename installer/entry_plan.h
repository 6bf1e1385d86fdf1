// What the deployment of one catalogue entry works with, derived before any file is touched:
// from the layout of the run (the payload variant and the system directory, the same for every
// entry) and the entry's row.
#pragma once

#include <string>

#include "installer/catalogue.h"
#include "platform/platform.h"

namespace vannix {

struct Layout {
  bool wow64 = false;          // chooses the "64_" payload variant
  std::u16string system_dir;   // "C:\Windows\SysWOW64\" or "C:\Windows\System32\"
  // The native system directory, as this 32-bit process reaches it: "...\Sysnative\" under
  // WOW64, else the system directory.
  std::u16string native_system_dir;
  // Windows Vista or later: Task Scheduler 2.0 is there (its taskschd.dll, which Windows XP and
  // Server 2003 lack), and Windows Resource Protection instead of XP's File Protection. Told by
  // the file rather than by the version, which a compatibility layer may make up.
  bool vista_or_later = true;
};

// Asks IsWow64 once, reads the system directory once and looks for taskschd.dll in the native
// one. Raises a Failure when the Windows directory cannot be read.
Layout ProbeLayout(platform::Platform& platform);

// The layout of a system directory that GetSystemDir gave (it ends with "\SysWOW64\" under
// WOW64).
Layout LayoutFor(bool wow64, std::u16string system_dir, bool vista_or_later = true);

struct EntryPlan {
  std::u16string resource_name;  // "32_KorviX": the variant prefix and the file-name part
  std::u16string file_name;      // "KorviX.dll": BaseName and Extension
  std::u16string target_path;    // the system directory and the file name
  bool Register = false;
  // The registration's tool and the directory it lies in and starts in: the system directory,
  // the same that holds the file it registers.
  std::u16string tool_directory;
  std::u16string tool;           // tool_directory and "regsvr32.exe"
  std::u16string native_system_dir;  // Layout's, where Windows keeps the start-up tasks
};

EntryPlan PlanEntry(const Layout& layout, const ComponentEntry& entry);

}  // namespace vannix
