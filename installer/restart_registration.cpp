#include "installer/restart_registration.h"

#include <vector>

#include "installer/process_runner.h"
#include "installer/registration.h"
#include "installer/registry_text.h"
#include "installer/text.h"
#include "installer/work_files.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

using platform::Platform;

// RunOnce of the 64-bit view, where Windows reads it on 64-bit Windows (a 32-bit writer would
// otherwise land in Wow6432Node); the flag means nothing on 32-bit Windows.
constexpr std::uint32_t kView64 = platform::kKeyWow64View64;
constexpr std::uint16_t kShowHidden = 0;  // SW_HIDE

std::u16string FileNamePart(const std::u16string& path) {
  const auto separator = path.find_last_of(u"\\/");
  return separator == std::u16string::npos ? path : path.substr(separator + 1);
}

std::u16string Escaped(const std::u16string& text) {
  std::u16string out;
  for (const char16_t c : text) {
    switch (c) {
      case u'&': out += u"&amp;"; break;
      case u'<': out += u"&lt;"; break;
      case u'>': out += u"&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

// schtasks.exe of the system directory, hidden (it is a console program), in that directory,
// waited for. True when it reports success.
bool RunSchtasks(Platform& platform, const std::u16string& directory,
                 const std::u16string& arguments) {
  const std::u16string schtasks = directory + u"schtasks.exe";
  ChildStart start;
  start.application = &schtasks;
  start.directory = &directory;
  start.creation_flags = platform::kCreateNoWindow | platform::kNormalPriorityClass;
  return ExecuteAndWait(platform, u"\"" + schtasks + u"\" " + arguments, kShowHidden, true,
                        start) == 0;
}

std::u16string TaskNameArgument(const std::u16string& target_path) {
  return u"/tn \"" + RestartRegistrationName(target_path) + u"\"";
}

// UTF-16LE with its byte order mark, as the definition's declaration says. `created` tells the
// caller whether the file at `path` is this run's.
bool WriteDefinition(Platform& platform, const std::u16string& path,
                     const std::u16string& definition, bool* created) {
  const platform::UniqueFile file(
      platform, platform.CreateFileW(path, platform::kGenericWrite, 0, platform::kCreateNew,
                                     platform::kFileAttributeNormal));
  if (!file) return false;
  *created = true;
  std::vector<std::byte> bytes{std::byte{0xFF}, std::byte{0xFE}};
  for (const char16_t c : definition) {
    bytes.push_back(static_cast<std::byte>(c & 0xFF));
    bytes.push_back(static_cast<std::byte>(c >> 8));
  }
  std::uint32_t written = 0;
  return platform.WriteFile(file.GetUnsafe(), bytes.data(),
                            static_cast<std::uint32_t>(bytes.size()), &written) &&
         written == bytes.size();
}

// The definition goes to schtasks in a file beside the target (the system directory, which only
// administrators may write), removed again once schtasks has read it.
bool ScheduleTask(Platform& platform, const std::u16string& command,
                  const std::u16string& target_path) {
  const std::u16string definition = RestartRegistrationTask(command, target_path);
  if (definition.empty()) return false;
  const std::u16string file_path = target_path + u".vannix-task.xml";
  if (!RemoveLeftover(platform, file_path)) return false;
  bool created = false;
  const bool scheduled =
      WriteDefinition(platform, file_path, definition, &created) &&
      RunSchtasks(platform, RegistrationDirectory(command),
                  u"/create " + TaskNameArgument(target_path) + u" /xml \"" + file_path +
                      u"\" /ru SYSTEM /f");
  if (created) RemoveWhenFree(platform, file_path);
  return scheduled;
}

bool ScheduleAtLogon(platform::Advapi32& advapi32, const std::u16string& command,
                     const std::u16string& target_path) {
  const std::u16string line = RestartRegistrationCommand(command, target_path);
  if (line.empty()) return false;
  platform::RawHandle raw = 0;
  if (advapi32.RegCreateKeyExW(platform::kHkeyLocalMachine, std::u16string(kRunOnceKey),
                               platform::kKeySetValue | kView64, &raw) != platform::kErrorSuccess) {
    return false;
  }
  const platform::UniqueRegistryKey key(advapi32, raw);
  return advapi32.RegSetValueExW(key.GetUnsafe(), RestartRegistrationName(target_path),
                                 platform::kRegSz, RegistryString(line)) == platform::kErrorSuccess;
}

// What was scheduled, on the disk before the rename that it goes with is scheduled: Windows
// writes the registry (the Task Scheduler's cache, a RunOnce value) and the task's file when it
// gets round to it, and a power loss soon after the run must not keep the rename without them.
void FlushToDisk(Platform& platform, platform::Advapi32& advapi32,
                 const std::u16string& task_file) {
  platform::RawHandle raw = 0;
  if (advapi32.RegOpenKeyExW(platform::kHkeyLocalMachine, u"SOFTWARE", platform::kKeyRead, &raw) ==
      platform::kErrorSuccess) {
    const platform::UniqueRegistryKey software(advapi32, raw);
    advapi32.RegFlushKey(software.GetUnsafe());
  }
  if (task_file.empty()) return;
  const platform::UniqueFile file(
      platform, platform.CreateFileW(task_file, platform::kGenericWrite,
                                     platform::kFileShareRead | platform::kFileShareWrite |
                                         platform::kFileShareDelete,
                                     platform::kOpenExisting, 0));
  if (file) platform.FlushFileBuffers(file.GetUnsafe());
}

void RemoveLogonValue(platform::Advapi32& advapi32, const std::u16string& target_path) {
  platform::RawHandle raw = 0;
  if (advapi32.RegOpenKeyExW(platform::kHkeyLocalMachine, std::u16string(kRunOnceKey),
                             platform::kKeySetValue | kView64, &raw) != platform::kErrorSuccess) {
    return;
  }
  const platform::UniqueRegistryKey key(advapi32, raw);
  advapi32.RegDeleteValueW(key.GetUnsafe(), RestartRegistrationName(target_path));
}

}  // namespace

std::u16string RestartRegistrationName(const std::u16string& target_path) {
  return u"setup_vannix " + FileNamePart(target_path);
}

std::u16string RestartRegistrationCommand(const std::u16string& command,
                                          const std::u16string& target_path) {
  const std::u16string tool = RegistrationTool(command);
  if (tool.empty()) return {};
  return u"\"" + tool + u"\" /s \"" + target_path + u"\"";
}

std::u16string RestartRegistrationTask(const std::u16string& command,
                                       const std::u16string& target_path) {
  const std::u16string directory = RegistrationDirectory(command);
  if (directory.empty()) return {};
  // A working directory without its closing backslash, but for a drive's root.
  std::u16string working = directory;
  if (working.size() > 3) working.pop_back();
  const std::u16string tool = Escaped(RegistrationTool(command));
  const std::u16string target = Escaped(target_path);
  return u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
         u"<Task version=\"1.2\" "
         u"xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
         u"  <RegistrationInfo>\r\n"
         u"    <Description>setup_vannix: registers " + target + u" once Windows has put this "
         u"release's file in its place at start-up, then removes this task.</Description>\r\n"
         u"  </RegistrationInfo>\r\n"
         u"  <Triggers>\r\n"
         u"    <BootTrigger>\r\n"
         u"      <Enabled>true</Enabled>\r\n"
         u"    </BootTrigger>\r\n"
         u"  </Triggers>\r\n"
         u"  <Principals>\r\n"
         u"    <Principal id=\"System\">\r\n"
         u"      <UserId>S-1-5-18</UserId>\r\n"
         u"      <RunLevel>HighestAvailable</RunLevel>\r\n"
         u"    </Principal>\r\n"
         u"  </Principals>\r\n"
         u"  <Settings>\r\n"
         u"    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\r\n"
         u"    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\r\n"
         u"    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\r\n"
         u"    <ExecutionTimeLimit>PT10M</ExecutionTimeLimit>\r\n"
         u"    <Enabled>true</Enabled>\r\n"
         u"  </Settings>\r\n"
         u"  <Actions Context=\"System\">\r\n"
         u"    <Exec>\r\n"
         u"      <Command>" + tool + u"</Command>\r\n"
         u"      <Arguments>/s \"" + target + u"\"</Arguments>\r\n"
         u"      <WorkingDirectory>" + Escaped(working) + u"</WorkingDirectory>\r\n"
         u"    </Exec>\r\n"
         u"    <Exec>\r\n"
         u"      <Command>" + Escaped(directory) + u"schtasks.exe</Command>\r\n"
         u"      <Arguments>/delete " + Escaped(TaskNameArgument(target_path)) +
         u" /f</Arguments>\r\n"
         u"    </Exec>\r\n"
         u"  </Actions>\r\n"
         u"</Task>\r\n";
}

std::u16string RestartRegistrationTaskFile(const std::u16string& command,
                                           const std::u16string& target_path) {
  std::u16string directory = RegistrationDirectory(command);  // "...\SysWOW64\" or "...\System32\"
  if (directory.size() < 2) return {};
  directory.pop_back();
  const auto separator = directory.find_last_of(u'\\');
  if (separator == std::u16string::npos) return {};
  const bool wow64 =
      EqualIgnoringCase(std::u16string_view(directory).substr(separator + 1), u"SysWOW64");
  return directory.substr(0, separator + 1) + (wow64 ? u"Sysnative" : u"System32") + u"\\Tasks\\" +
         RestartRegistrationName(target_path);
}

bool IsTaskScheduled(Platform& platform, const std::u16string& command,
                     const std::u16string& target_path) {
  const std::u16string file = RestartRegistrationTaskFile(command, target_path);
  return !file.empty() && platform.GetFileAttributesW(file) != platform::kInvalidFileAttributes;
}

bool ScheduleRegistration(Platform& platform, platform::Advapi32& advapi32,
                          const std::u16string& command, const std::u16string& target_path) {
  if (ScheduleTask(platform, command, target_path)) {
    // A value an earlier run fell back to would register the file a second time.
    RemoveLogonValue(advapi32, target_path);
    FlushToDisk(platform, advapi32, RestartRegistrationTaskFile(command, target_path));
    return true;
  }
  if (!ScheduleAtLogon(advapi32, command, target_path)) return false;
  FlushToDisk(platform, advapi32, u"");
  return true;
}

void CancelRegistration(Platform& platform, platform::Advapi32& advapi32,
                        const std::u16string& command, const std::u16string& target_path) {
  RemoveLogonValue(advapi32, target_path);
  const std::u16string directory = RegistrationDirectory(command);
  if (!directory.empty())
    RunSchtasks(platform, directory, u"/delete " + TaskNameArgument(target_path) + u" /f");
}

}  // namespace vannix
