// Windows' list of renames to make when it next starts: PendingFileRenameOperations (and, on
// newer Windows, PendingFileRenameOperations2) under the Session Manager key, REG_MULTI_SZ, in
// pairs of source and destination. Read by the installer, so as never to schedule one rename
// twice, and by the check, to tell a replacement that only waits for a restart.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace vannix {

inline constexpr std::u16string_view kSessionManagerKey =
    u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

struct PendingRename {
  std::u16string from;  // as a program spells it: "C:\\...", the NT prefixes removed
  std::u16string to;    // likewise; empty for a deletion
  bool replace = false;  // the destination's "!": it replaces a file there (else it fails)
};

// The pairs of one value's data. Sources are stored as "\??\C:\...", destinations with a "!"
// before that prefix when they replace an existing file; whatever comes before the drive (the
// prefixes of any Windows version) is dropped.
std::vector<PendingRename> ParsePendingRenames(const std::vector<std::byte>& data);

// Both values; a value or key that is absent or unreadable contributes nothing.
std::vector<PendingRename> ReadPendingRenames(platform::Registry& registry);

// Whether `renames` holds a rename of `from` onto `to` (letter case aside) that replaces what
// is there.
bool IsRenamePending(const std::vector<PendingRename>& renames, const std::u16string& from,
                     const std::u16string& to);

// Whether that rename is what the restart leaves at `to`: it is listed, and no other entry
// renames onto, moves or deletes `from` or `to` (Session Manager makes them in order, and which
// of the two values it takes first is not documented).
bool RenameDecides(const std::vector<PendingRename>& renames, const std::u16string& from,
                   const std::u16string& to);

}  // namespace vannix
