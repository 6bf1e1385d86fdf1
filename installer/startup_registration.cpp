#include "installer/startup_registration.h"

#include <vector>

#include "installer/process_runner.h"
#include "installer/registry_text.h"
#include "installer/work_files.h"
#include "platform/unique_handle.h"

namespace vannix {
namespace {

using platform::Platform;

// RunOnce of the 64-bit view, where Windows reads it on 64-bit Windows (a 32-bit writer would
// otherwise land in Wow6432Node); the flag means nothing on 32-bit Windows.
constexpr std::uint32_t kView64 = platform::kKeyWow64View64;
constexpr std::uint16_t kShowHidden = 0;  // SW_HIDE
// Windows runs no RunOnce command of this length or longer (its buffer holds the NUL too).
constexpr std::size_t kRunOnceLimit = 260;
constexpr std::u16string_view kTaskCacheTree =
    u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Schedule\\TaskCache\\Tree\\";

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

std::u16string TaskNameArgument(const EntryPlan& plan) {
  return u"/tn \"" + StartUpTaskName(plan) + u"\"";
}

// schtasks.exe of the system directory, hidden (it is a console program), in that directory,
// waited for at most kSchedulerTimeLimit: its exit code, -1 when it did not start or end in time.
std::int32_t RunSchtasks(Platform& platform, const EntryPlan& plan,
                         const std::u16string& arguments) {
  const std::u16string schtasks = plan.tool_directory + u"schtasks.exe";
  ChildStart start;
  start.application = &schtasks;
  start.directory = &plan.tool_directory;
  start.creation_flags = platform::kCreateNoWindow | platform::kNormalPriorityClass;
  start.time_limit = kSchedulerTimeLimit;
  return ExecuteAndWait(platform, u"\"" + schtasks + u"\" " + arguments, kShowHidden, true,
                        start);
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
  const std::vector<std::byte> text = RegistryString(definition);
  bytes.insert(bytes.end(), text.begin(), text.end() - 2);  // without the registry's NUL
  std::uint32_t written = 0;
  return platform.WriteFile(file.GetUnsafe(), bytes.data(),
                            static_cast<std::uint32_t>(bytes.size()), &written) &&
         written == bytes.size();
}

// `path` names something: a file that cannot be looked at is there all the same.
bool Present(Platform& platform, const std::u16string& path) {
  if (platform.GetFileAttributesW(path) != platform::kInvalidFileAttributes) return true;
  const std::uint32_t error = platform.GetLastError();
  return error != platform::kErrorFileNotFound && error != platform::kErrorPathNotFound;
}

// "<tool>" /s "<target>": the tool's full path, quoted, since no application name goes with a
// RunOnce command.
std::u16string LogonCommand(const EntryPlan& plan) {
  return u"\"" + plan.tool + u"\" /s \"" + plan.target_path + u"\"";
}

}  // namespace

std::u16string StartUpTaskName(const EntryPlan& plan) { return u"setup_vannix " + plan.file_name; }

std::u16string StartUpTaskDefinition(const EntryPlan& plan) {
  // A working directory without its closing backslash, but for a drive's root.
  std::u16string working = plan.tool_directory;
  if (working.size() > 3) working.pop_back();
  const std::u16string target = Escaped(plan.target_path);
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
         u"      <Command>" + Escaped(plan.tool) + u"</Command>\r\n"
         u"      <Arguments>/s \"" + target + u"\"</Arguments>\r\n"
         u"      <WorkingDirectory>" + Escaped(working) + u"</WorkingDirectory>\r\n"
         u"    </Exec>\r\n"
         u"    <Exec>\r\n"
         u"      <Command>" + Escaped(plan.tool_directory) + u"schtasks.exe</Command>\r\n"
         u"      <Arguments>/delete " + Escaped(TaskNameArgument(plan)) + u" /f</Arguments>\r\n"
         u"    </Exec>\r\n"
         u"  </Actions>\r\n"
         u"</Task>\r\n";
}

std::u16string StartUpTaskFile(const EntryPlan& plan) {
  return plan.native_system_dir + u"Tasks\\" + StartUpTaskName(plan);
}

bool StartUpRegistration::Schedule(const EntryPlan& plan) {
  if (!HasTaskScheduler()) return ScheduleAtLogon(plan) && FlushToDisk(u"");
  if (!ScheduleTask(plan)) return false;
  // A value an older release fell back to would register the file a second time, at a logon.
  RemoveLogonValue(plan);
  return FlushToDisk(StartUpTaskFile(plan));
}

std::int32_t StartUpRegistration::TaskKey(const EntryPlan& plan) {
  platform::UniqueRegistryKey key(registry_);
  return registry_.RegOpenKeyExW(platform::kHkeyLocalMachine,
                                 std::u16string(kTaskCacheTree) + StartUpTaskName(plan),
                                 platform::kKeyRead | kView64, key.put());
}

bool StartUpRegistration::IsScheduled(const EntryPlan& plan) {
  if (!HasTaskScheduler()) return HasLogonValue(plan);
  // A task is its key and its file; where the key cannot be read (a standard user may not),
  // the file is all there is to go by.
  return TaskKey(plan) != static_cast<std::int32_t>(platform::kErrorFileNotFound) &&
         HasTaskFile(plan);
}

bool StartUpRegistration::MayBeScheduled(const EntryPlan& plan) {
  return HasTaskScheduler() ? HasTaskFile(plan) : HasLogonValue(plan);
}

bool StartUpRegistration::HasTaskFile(const EntryPlan& plan) {
  return Present(platform_, StartUpTaskFile(plan));
}

void StartUpRegistration::Cancel(const EntryPlan& plan) {
  RemoveLogonValue(plan);
  if (HasTaskScheduler() && HasTaskFile(plan) &&
      RunSchtasks(platform_, plan, u"/delete " + TaskNameArgument(plan) + u" /f") > 0) {
    RemoveOrphan(plan);
  }
}

bool StartUpRegistration::RemoveOrphan(const EntryPlan& plan) {
  // Only where the task cache says there is no such task: a file whose task exists, or whose
  // task cannot be looked up, is never touched.
  if (!HasTaskFile(plan) || TaskKey(plan) != static_cast<std::int32_t>(platform::kErrorFileNotFound))
    return false;
  const std::u16string file = StartUpTaskFile(plan);
  platform_.SetFileAttributesW(file, platform::kFileAttributeNormal);  // planted read-only
  RemoveWhenFree(platform_, file);
  return !HasTaskFile(plan);
}

std::int32_t StartUpRegistration::CreateTask(const EntryPlan& plan) {
  return RunSchtasks(platform_, plan,
                     u"/create " + TaskNameArgument(plan) + u" /xml \"" +
                         TaskDefinitionPath(plan.target_path) + u"\" /ru SYSTEM /f");
}

// The definition goes to schtasks in a file beside the target (the system directory, which only
// administrators may write), removed again once schtasks has read it.
bool StartUpRegistration::ScheduleTask(const EntryPlan& plan) {
  const std::u16string file_path = TaskDefinitionPath(plan.target_path);
  if (!RemoveLeftover(platform_, file_path)) return false;
  bool created = false;
  std::int32_t result = -1;
  if (WriteDefinition(platform_, file_path, StartUpTaskDefinition(plan), &created)) {
    result = CreateTask(plan);
    // Refused (not ended for its time): a task's file without its task may be in the way.
    if (result > 0 && RemoveOrphan(plan)) result = CreateTask(plan);
  }
  if (created) RemoveWhenFree(platform_, file_path);
  return result == 0;
}

bool StartUpRegistration::ScheduleAtLogon(const EntryPlan& plan) {
  const std::u16string line = LogonCommand(plan);
  if (line.size() >= kRunOnceLimit) return false;
  platform::UniqueRegistryKey key(registry_);
  return registry_.RegCreateKeyExW(platform::kHkeyLocalMachine, std::u16string(kRunOnceKey),
                                   platform::kKeySetValue | kView64, key.put()) ==
             platform::kErrorSuccess &&
         registry_.RegSetValueExW(key.GetUnsafe(), StartUpTaskName(plan), platform::kRegSz,
                                  RegistryString(line)) == platform::kErrorSuccess;
}

bool StartUpRegistration::HasLogonValue(const EntryPlan& plan) {
  platform::UniqueRegistryKey key(registry_);
  if (registry_.RegOpenKeyExW(platform::kHkeyLocalMachine, std::u16string(kRunOnceKey),
                              platform::kKeyRead | kView64, key.put()) != platform::kErrorSuccess) {
    return false;
  }
  std::uint32_t type = 0;
  std::vector<std::byte> data;
  return registry_.RegQueryValueExW(key.GetUnsafe(), StartUpTaskName(plan), &type, &data) ==
         platform::kErrorSuccess;
}

void StartUpRegistration::RemoveLogonValue(const EntryPlan& plan) {
  platform::UniqueRegistryKey key(registry_);
  if (registry_.RegOpenKeyExW(platform::kHkeyLocalMachine, std::u16string(kRunOnceKey),
                              platform::kKeySetValue | kView64, key.put()) == platform::kErrorSuccess)
    registry_.RegDeleteValueW(key.GetUnsafe(), StartUpTaskName(plan));
}

// Windows writes the registry (the Task Scheduler's cache, a RunOnce value) and the task's file
// when it gets round to it; the rename that goes with them is scheduled only once they are on
// the disk, so that a power loss soon after the run never keeps the rename without them.
bool StartUpRegistration::FlushToDisk(const std::u16string& task_file) {
  platform::UniqueRegistryKey software(registry_);
  if (registry_.RegOpenKeyExW(platform::kHkeyLocalMachine, u"SOFTWARE", platform::kKeyRead,
                              software.put()) != platform::kErrorSuccess ||
      registry_.RegFlushKey(software.GetUnsafe()) != platform::kErrorSuccess) {
    return false;
  }
  // The file as well where administrators may write it (they may on every Windows this
  // installer knows of); the task cache is what the Task Scheduler loads at start-up.
  if (task_file.empty()) return true;
  const platform::UniqueFile file(
      platform_, platform_.CreateFileW(task_file, platform::kGenericWrite,
                                       platform::kFileShareRead | platform::kFileShareWrite |
                                           platform::kFileShareDelete,
                                       platform::kOpenExisting, 0));
  if (file) platform_.FlushFileBuffers(file.GetUnsafe());
  return true;
}

}  // namespace vannix
