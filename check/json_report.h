// The check's findings as one JSON document, for fleet tools that read results as data
// (PowerShell's ConvertFrom-Json, inventory collectors). ASCII only: every other character is a
// \u escape, so that no console code page can garble it.
#pragma once

#include <string>

#include "check/installation_check.h"

namespace vannix {

// The release (payload variant, the check's own version), the system directory, each file with
// its state, sizes, SHA-256s, versions, registration and classes, the summary's counts and
// verdict, and `exit_code`.
std::u16string FormatJson(const InstallationCheck& check, const std::u16string& check_version,
                          int exit_code);

// When the check could not be made: the reason, no files, and `exit_code`.
std::u16string FormatJsonFailure(const std::u16string& reason,
                                 const std::u16string& check_version, int exit_code);

}  // namespace vannix
