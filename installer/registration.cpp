#include "installer/registration.h"

#include "installer/existence_test.h"
#include "installer/process_runner.h"

namespace vannix {
namespace {

constexpr std::uint16_t kShowNormal = 1;
constexpr std::u16string_view kToolName = u"regsvr32.exe";

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

std::u16string RegistrationTool(std::u16string_view command) {
  // The template follows the system directory, so the tool name is found from the right.
  const auto at = command.rfind(kRegistrationTemplate);
  if (at == std::u16string_view::npos) return {};
  return std::u16string(command.substr(0, at + kToolName.size()));
}

std::u16string RegistrationDirectory(std::u16string_view command) {
  const std::u16string tool = RegistrationTool(command);
  return tool.empty() ? tool : tool.substr(0, tool.size() - kToolName.size());
}

void RegisterComponent(platform::Platform& platform, bool Register,
                       const std::u16string& target_path, const std::u16string& command) {
  if (!Register) return;
  if (!FileExists(platform, target_path)) return;
  // The tool's path is taken before the replacement: a system directory may itself hold "{S}".
  const std::u16string tool = RegistrationTool(command);
  // The child starts in the system directory, never in the installer's own (often a Downloads
  // folder): a server whose libraries are not installed yet would make the loader look for them
  // in the current directory of an elevated process.
  const std::u16string directory = RegistrationDirectory(command);
  ChildStart start;
  if (!tool.empty()) {
    start.application = &tool;
    start.directory = &directory;
  }
  ExecuteAndWait(platform, ReplaceAll(command, kPlaceholder, target_path), kShowNormal, true,
                 start);
}

}  // namespace vannix
