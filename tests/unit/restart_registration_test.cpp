#include "installer/restart_registration.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

const std::u16string kDir = u"C:\\Windows\\SysWOW64\\";
const std::u16string kTarget = kDir + u"KorviGovX.ocx";
const std::u16string kCommand = kDir + u"regsvr32.exe /s \"{S}\"";
const std::u16string kRunOnce = u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const std::u16string kName = u"setup_vannix KorviGovX.ocx";

bool Has(const std::u16string& text, const std::u16string& part) {
  return text.find(part) != std::u16string::npos;
}

TEST(RestartRegistration, TheTaskRegistersAsSystemAtStartUpWhateverThePowerThenRemovesItself) {
  const std::u16string task = RestartRegistrationTask(kCommand, kTarget);
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
  const std::u16string odd = u"C:\\A&B\\System32\\";
  EXPECT_TRUE(Has(RestartRegistrationTask(odd + u"regsvr32.exe /s \"{S}\"", odd + u"midas.dll"),
                  u"<Command>C:\\A&amp;B\\System32\\regsvr32.exe</Command>"));
  EXPECT_EQ(RestartRegistrationTask(u"regsvr32 {S}", kTarget), u"");
}

TEST(RestartRegistration, TheTaskIsKeptInTheNativeTasksFolder) {
  EXPECT_EQ(RestartRegistrationTaskFile(kCommand, kTarget),
            u"C:\\Windows\\Sysnative\\Tasks\\setup_vannix KorviGovX.ocx");
  const std::u16string dir = u"C:\\Windows\\System32\\";
  EXPECT_EQ(RestartRegistrationTaskFile(dir + u"regsvr32.exe /s \"{S}\"", dir + u"midas.dll"),
            u"C:\\Windows\\System32\\Tasks\\setup_vannix midas.dll");
}

TEST(RestartRegistration, IsHandedToSchtasksOfTheSystemDirectoryHiddenLeavingNoFileBehind) {
  FakePlatform fake;
  FakeScheduler scheduler;
  scheduler.Attach(fake);
  fake.SetRegistryString(kRunOnce, kName, u"left by a run that had no Task Scheduler");
  ASSERT_TRUE(ScheduleRegistration(fake, fake, kCommand, kTarget));
  ASSERT_EQ(fake.processes().size(), 1u);
  const ProcessStart& child = fake.processes()[0];
  EXPECT_EQ(*child.application, kDir + u"schtasks.exe");
  EXPECT_EQ(child.command_line,
            u"\"C:\\Windows\\SysWOW64\\schtasks.exe\" /create /tn \"setup_vannix KorviGovX.ocx\" "
            u"/xml \"C:\\Windows\\SysWOW64\\KorviGovX.ocx.vannix-task.xml\" /ru SYSTEM /f");
  EXPECT_EQ(child.creation_flags, 0x08000020u);  // CREATE_NO_WINDOW: a console program
  EXPECT_EQ(child.startup.wShowWindow, 0u);
  EXPECT_EQ(*child.directory, kDir);
  EXPECT_EQ(scheduler.tasks[kName], RestartRegistrationTask(kCommand, kTarget));
  EXPECT_FALSE(fake.Exists(kTarget + u".vannix-task.xml"));
  // Scheduled once: the value an earlier run fell back to would register it a second time.
  EXPECT_FALSE(fake.RegistryStringsOf(kRunOnce, kName));
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(RestartRegistration, WithoutATaskSchedulerARunOnceValueInThe64BitViewStandsIn) {
  for (const bool started : {true, false}) {
    FakePlatform fake;
    FakeScheduler scheduler;
    scheduler.exit_code = 1;  // schtasks of Windows XP: no /xml
    scheduler.Attach(fake);
    if (!started) fake.FailCall("CreateProcessW", 1, platform::kErrorFileNotFound);
    ASSERT_TRUE(ScheduleRegistration(fake, fake, kCommand, kTarget));
    EXPECT_EQ(*fake.RegistryStringsOf(kRunOnce, kName),
              std::vector<std::u16string>{u"\"C:\\Windows\\SysWOW64\\regsvr32.exe\" /s \"" +
                                          kTarget + u"\""});
    // KEY_SET_VALUE | KEY_WOW64_64KEY: where Windows reads RunOnce on 64-bit Windows.
    EXPECT_EQ(fake.calls()[static_cast<std::size_t>(fake.IndexOf("RegCreateKeyExW"))].flags,
              0x102u);
    EXPECT_FALSE(fake.Exists(kTarget + u".vannix-task.xml"));
  }
}

TEST(RestartRegistration, ALaterRunThatRegisteredTheFileRemovesTaskAndValue) {
  FakePlatform fake;
  FakeScheduler scheduler;
  scheduler.Attach(fake);
  scheduler.tasks[kName] = u"<Task/>";
  fake.SetRegistryString(kRunOnce, kName, u"\"x\" /s \"y\"");
  fake.SetRegistryString(kRunOnce, u"another program's", u"z.exe");
  CancelRegistration(fake, fake, kCommand, kTarget);
  EXPECT_TRUE(scheduler.tasks.empty());
  EXPECT_FALSE(fake.RegistryStringsOf(kRunOnce, kName));
  EXPECT_TRUE(fake.RegistryStringsOf(kRunOnce, u"another program's"));
  EXPECT_EQ(fake.calls()[static_cast<std::size_t>(fake.IndexOf("RegOpenKeyExW"))].flags, 0x102u);
  EXPECT_EQ(fake.OpenHandles(), 0);
}

}  // namespace
}  // namespace vannix::testing
