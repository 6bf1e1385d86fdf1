#include "installer/registration.h"

#include "installer/file_exists.h"
#include "installer/process_runner.h"

namespace vannix {
namespace {

constexpr std::uint16_t kShowNormal = 1;

}  // namespace

std::u16string ReplaceAll(std::u16string_view text, std::u16string_view placeholder,
                          std::u16string_view replacement) {
  std::u16string result;
  std::size_t start = 0;
  for (std::size_t found; (found = text.find(placeholder, start)) != std::u16string_view::npos;
       start = found + placeholder.size()) {
    result.append(text.substr(start, found - start));
    result.append(replacement);
  }
  result.append(text.substr(start));
  return result;
}

void RegisterComponent(platform::Platform& platform, const EntryPlan& plan) {
  if (!plan.Register) return;
  if (!FileExists(platform, plan.target_path)) return;
  // The whole command is the template's, system directory included: a system directory that
  // holds "{S}" has it replaced too. The program itself is named by its real path.
  const std::u16string command = ReplaceAll(
      plan.tool_directory + std::u16string(kRegistrationTemplate), kPlaceholder, plan.target_path);
  // The child starts in the system directory, never in the installer's own (often a Downloads
  // folder): a server whose libraries are not installed yet would make the loader look for them
  // in the current directory of an elevated process.
  ChildStart start;
  start.application = &plan.tool;
  start.directory = &plan.tool_directory;
  ExecuteAndWait(platform, command, kShowNormal, true, start);
}

}  // namespace vannix
