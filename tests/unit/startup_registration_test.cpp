#include "installer/startup_registration.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

const std::u16string kDir = u"C:\\Windows\\SysWOW64\\";
const std::u16string kTarget = kDir + u"KorviGovX.ocx";
const std::u16string kRunOnce = u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const std::u16string kName = u"setup_vannix KorviGovX.ocx";
const std::u16string kTaskFile = u"C:\\Windows\\System32\\Tasks\\setup_vannix KorviGovX.ocx";

EntryPlan Plan(const std::u16string& system_dir = kDir, std::size_t entry = 3) {
  return PlanEntry(LayoutFor(system_dir.ends_with(u"SysWOW64\\"), system_dir), kCatalogue[entry]);
}

bool Has(const std::u16string& text, const std::u16string& part) {
  return text.find(part) != std::u16string::npos;
}

TEST(StartUpTask, RegistersAsSystemAtStartUpWhateverThePowerThenRemovesItself) {
  const std::u16string task = StartUpTaskDefinition(Plan());
  EXPECT_TRUE(task.starts_with(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>"));
  EXPECT_TRUE(Has(task, u"<BootTrigger>\r\n      <Enabled>true</Enabled>"));
  EXPECT_TRUE(Has(task, u"<UserId>S-1-5-18</UserId>"));
  EXPECT_TRUE(Has(task, u"<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>"));
  EXPECT_TRUE(Has(task, u"<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>"));
  const auto registration = task.find(
      u"<Command>C:\\Windows\\SysWOW64\\regsvr32.exe</Command>\r\n"
      u"      <Arguments>/s \"C:\\Windows\\SysWOW64\\KorviGovX.ocx\"</Arguments>\r\n"
      u"      <WorkingDirectory>C:\\Windows\\SysWOW64</WorkingDirectory>");
  const auto removal = task.find(
      u"<Command>C:\\Windows\\SysWOW64\\schtasks.exe</Command>\r\n"
      u"      <Arguments>/delete /tn \"setup_vannix KorviGovX.ocx\" /f</Arguments>");
  ASSERT_NE(registration, std::u16string::npos);
  ASSERT_NE(removal, std::u16string::npos);
  EXPECT_LT(registration, removal);
  // Paths are XML text: an ampersand in the Windows directory stays one.
  EXPECT_TRUE(Has(StartUpTaskDefinition(Plan(u"C:\\A&B\\System32\\", 4)),
                  u"<Command>C:\\A&amp;B\\System32\\regsvr32.exe</Command>"));
  // Kept in the native system directory's Tasks folder.
  EXPECT_EQ(StartUpTaskFile(Plan()), u"C:\\Windows\\Sysnative\\Tasks\\setup_vannix KorviGovX.ocx");
  EXPECT_EQ(StartUpTaskFile(Plan(u"C:\\Windows\\System32\\", 4)),
            u"C:\\Windows\\System32\\Tasks\\setup_vannix midas.dll");
}

TEST(StartUpRegistration, IsHandedToSchtasksHiddenWithinAMinuteAndOnTheDiskBeforeItReturns) {
  FakePlatform fake;
  FakeScheduler scheduler;
  scheduler.Attach(fake);
  fake.SetRegistryString(kRunOnce, kName, u"left by an older release");
  StartUpRegistration start_up(fake, fake, true);
  ASSERT_TRUE(start_up.Schedule(Plan()));
  ASSERT_EQ(fake.processes().size(), 1u);
  const ProcessStart& child = fake.processes()[0];
  EXPECT_EQ(*child.application, kDir + u"schtasks.exe");
  EXPECT_EQ(child.command_line,
            u"\"C:\\Windows\\SysWOW64\\schtasks.exe\" /create /tn \"setup_vannix KorviGovX.ocx\" "
            u"/xml \"C:\\Windows\\SysWOW64\\KorviGovX.ocx.vannix-task.xml\" /ru SYSTEM /f");
  EXPECT_EQ(child.creation_flags, 0x08000020u);  // CREATE_NO_WINDOW: a console program
  EXPECT_EQ(child.startup.wShowWindow, 0u);
  EXPECT_EQ(*child.directory, kDir);
  EXPECT_EQ(fake.calls()[static_cast<std::size_t>(fake.IndexOf("WaitForSingleObject"))].flags,
            60000u);
  EXPECT_EQ(scheduler.Tasks(fake)[kName], StartUpTaskDefinition(Plan()));
  EXPECT_FALSE(fake.Exists(kTarget + u".vannix-task.xml"));
  EXPECT_FALSE(fake.RegistryStringsOf(kRunOnce, kName));
  // The task store's hive and the task's file are flushed after schtasks has made the task.
  const int made = fake.IndexOf("CreateProcessW");
  EXPECT_GT(fake.IndexOf("RegFlushKey", u"HKLM\\SOFTWARE", made), made);
  EXPECT_GT(fake.IndexOf("FlushFileBuffers", {}, fake.IndexOf("CreateFileW", u"C:\\Windows\\Sysnative\\Tasks\\" + kName)), made);
  EXPECT_TRUE(start_up.IsScheduled(Plan()));
  EXPECT_EQ(fake.OpenHandles(), 0);
}

// Where Windows has a Task Scheduler, a task that cannot be made is a registration that cannot
// be scheduled: RunOnce would run at the next logon, which may come before the restart.
TEST(StartUpRegistration, WhereATaskCannotBeMadeNothingIsScheduledAndNoRunOnceValueWritten) {
  struct Case {
    const char* what;
    std::function<void(FakePlatform&, FakeScheduler&)> arrange;
    bool ended;  // the child was ended for running out of time
  };
  const std::vector<Case> cases{
      {"schtasks fails", [](FakePlatform&, FakeScheduler& s) { s.exit_code = 1; }, false},
      {"schtasks missing",
       [](FakePlatform& f, FakeScheduler&) { f.FailCall("CreateProcessW", 1, 2); }, false},
      {"schtasks hangs", [](FakePlatform& f, FakeScheduler&) { f.child_hangs = true; }, true},
      {"the definition cannot be written",
       [](FakePlatform& f, FakeScheduler&) { f.FailCall("WriteFile", 1, 112); }, false},
  };
  for (const Case& c : cases) {
    FakePlatform fake;
    FakeScheduler scheduler;
    scheduler.Attach(fake);
    c.arrange(fake, scheduler);
    StartUpRegistration start_up(fake, fake, true);
    EXPECT_FALSE(start_up.Schedule(Plan())) << c.what;
    EXPECT_EQ(fake.CountOf("TerminateProcess"), c.ended ? 1 : 0) << c.what;
    EXPECT_EQ(fake.CountOf("RegCreateKeyExW") + fake.CountOf("RegSetValueExW"), 0) << c.what;
    EXPECT_FALSE(fake.Exists(kTarget + u".vannix-task.xml")) << c.what;
    EXPECT_EQ(fake.OpenHandles(), 0) << c.what;
  }
}

TEST(StartUpRegistration, WithoutATaskSchedulerARunOnceValueInThe64BitViewStandsIn) {
  FakePlatform fake;
  FakeScheduler scheduler;
  scheduler.Attach(fake);
  StartUpRegistration start_up(fake, fake, false);  // XP and Server 2003
  EXPECT_FALSE(start_up.IsScheduled(Plan()));
  ASSERT_TRUE(start_up.Schedule(Plan()));
  EXPECT_EQ(scheduler.runs, 0);
  EXPECT_EQ(*fake.RegistryStringsOf(kRunOnce, kName),
            std::vector<std::u16string>{u"\"C:\\Windows\\SysWOW64\\regsvr32.exe\" /s \"" + kTarget +
                                        u"\""});
  // KEY_SET_VALUE | KEY_WOW64_64KEY: where Windows reads RunOnce on 64-bit Windows.
  EXPECT_EQ(fake.calls()[static_cast<std::size_t>(fake.IndexOf("RegCreateKeyExW"))].flags, 0x102u);
  EXPECT_GT(fake.IndexOf("RegFlushKey", u"HKLM\\SOFTWARE"), fake.IndexOf("RegSetValueExW"));
  EXPECT_TRUE(start_up.IsScheduled(Plan()));

  // Windows runs no RunOnce command of 260 characters or more: 259 are scheduled, 261 not.
  for (const std::size_t length : {98u, 99u}) {
    FakePlatform deep_fake;
    const std::u16string deep = u"C:\\" + std::u16string(length, u'w') + u"\\System32\\";
    EXPECT_EQ(StartUpRegistration(deep_fake, deep_fake, false).Schedule(Plan(deep, 1)),
              length == 98u);
    EXPECT_EQ(deep_fake.RegistryStringsOf(kRunOnce, u"setup_vannix KorviDataSetX.dll").has_value(),
              length == 98u);
  }
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(StartUpRegistration, CancelRemovesTaskAndValueButNoOtherProgramsValue) {
  FakePlatform fake;
  FakeScheduler scheduler;
  scheduler.Attach(fake);
  StartUpRegistration start_up(fake, fake, true);
  ASSERT_TRUE(start_up.Schedule(Plan()));
  fake.SetRegistryString(kRunOnce, kName, u"\"x\" /s \"y\"");
  fake.SetRegistryString(kRunOnce, u"another program's", u"z.exe");
  start_up.Cancel(Plan());
  EXPECT_TRUE(scheduler.Tasks(fake).empty());
  EXPECT_FALSE(start_up.IsScheduled(Plan()));
  EXPECT_FALSE(fake.RegistryStringsOf(kRunOnce, kName));
  EXPECT_TRUE(fake.RegistryStringsOf(kRunOnce, u"another program's"));
  EXPECT_EQ(fake.processes().back().command_line,
            u"\"C:\\Windows\\SysWOW64\\schtasks.exe\" /delete /tn \"setup_vannix KorviGovX.ocx\" /f");
  EXPECT_EQ(fake.OpenHandles(), 0);
}

// A task is its key in the task cache; its file alone (the key lost with the power, or a file
// that a standard user put into the Tasks folder, which any user may) is none.
TEST(StartUpRegistration, ATaskFileWithoutItsTaskIsNoneAndIsRemovedWhenItBlocksOne) {
  FakePlatform fake;
  FakeScheduler scheduler;
  scheduler.Attach(fake);
  StartUpRegistration start_up(fake, fake, true);
  fake.AddFile(kTaskFile, Bytes(8, 1), platform::kFileAttributeReadOnly);
  EXPECT_FALSE(start_up.IsScheduled(Plan()));
  EXPECT_TRUE(start_up.MayBeScheduled(Plan()));
  // Where the task cache cannot be read, the file is all there is to go by.
  fake.FailCall("RegOpenKeyExW", fake.CountOf("RegOpenKeyExW") + 1, platform::kErrorAccessDenied);
  EXPECT_TRUE(start_up.IsScheduled(Plan()));

  ASSERT_TRUE(start_up.Schedule(Plan()));
  std::vector<std::u16string> arguments;
  for (const ProcessStart& child : fake.processes())
    arguments.push_back(child.command_line.substr(child.command_line.find(u"\" /") + 2, 7));
  EXPECT_EQ(arguments, (std::vector<std::u16string>{u"/create", u"/create"}));
  EXPECT_EQ(scheduler.Tasks(fake)[kName], StartUpTaskDefinition(Plan()));
  EXPECT_TRUE(start_up.IsScheduled(Plan()));

  // A task whose service fails now keeps its file: only the task cache tells an orphan.
  scheduler.exit_code = 1;
  EXPECT_FALSE(start_up.Schedule(Plan()));
  start_up.Cancel(Plan());
  EXPECT_TRUE(fake.Exists(kTaskFile));
  EXPECT_TRUE(start_up.IsScheduled(Plan()));

  // Cancelled, an orphan goes.
  scheduler.exit_code = 0;
  fake.DeleteRegistryKeyAsService(std::u16string(FakeScheduler::kCache) + kName);
  start_up.Cancel(Plan());
  EXPECT_FALSE(fake.Exists(kTaskFile));
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(StartUpRegistration, IsNotScheduledWhenTheTaskCacheCannotBeWrittenToTheDisk) {
  FakePlatform fake;
  FakeScheduler scheduler;
  scheduler.Attach(fake);
  fake.FailCall("RegFlushKey", 1, platform::kErrorAccessDenied);
  EXPECT_FALSE(StartUpRegistration(fake, fake, true).Schedule(Plan()));
}

}  // namespace
}  // namespace vannix::testing
