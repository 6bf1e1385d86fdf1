#include "installer/deploy.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "installer/failure.h"
#include "installer/startup_registration.h"
#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

class Deployment : public ::testing::TestWithParam<bool> {
 protected:
  Deployment() {
    fake_.wow64_flag = wow64() ? 1 : 0;
    AddCataloguePayloads(fake_);
  }
  bool wow64() const { return GetParam(); }
  std::u16string SystemDir() const {
    return wow64() ? u"C:\\Windows\\SysWOW64\\" : u"C:\\Windows\\System32\\";
  }

  FakePlatform fake_;
};

// The catalogue: its eleven rows in their fixed order, and the six it registers.
const std::vector<std::u16string> kFiles{
    u"KorviX.dll",   u"KorviDataSetX.dll", u"msxml6.dll",   u"KorviGovX.ocx",
    u"midas.dll",    u"stdvcl40.dll",      u"ssleay32.dll", u"libeay32.dll",
    u"msxml6r.dll",  u"qelKorviLibUNICODE.dll", u"qelKorviLib.dll"};
constexpr std::size_t kRegistered = 6;  // the first six rows

TEST_P(Deployment, WritesTheElevenFilesFromTheirVariantInCatalogueOrderAndRegistersTheFirstSix) {
  InstallComponents(fake_, fake_);
  std::vector<std::u16string> lookups, written, registered;
  for (const Call& call : fake_.calls()) {
    if (call.name == "FindResourceW") lookups.push_back(call.argument);
    if (call.name == "MoveFileExW" && call.argument.rfind(SystemDir(), 0) == 0)
      written.push_back(call.argument.substr(SystemDir().size()));
  }
  for (const ProcessStart& child : fake_.processes()) registered.push_back(child.command_line);
  std::vector<std::u16string> names, commands;
  for (std::size_t i = 0; i < kFiles.size(); ++i) {
    // Looked up with the catalogue's letter case, without the extension.
    names.push_back((wow64() ? u"64_" : u"32_") + kFiles[i].substr(0, kFiles[i].rfind(u'.')));
    if (i < kRegistered)
      commands.push_back(SystemDir() + u"regsvr32.exe /s \"" + SystemDir() + kFiles[i] + u"\"");
    EXPECT_EQ(fake_.At(SystemDir() + kFiles[i]).bytes, Payload(i, wow64())) << Narrow(kFiles[i]);
  }
  EXPECT_EQ(lookups, names);
  EXPECT_EQ(written, kFiles);
  EXPECT_EQ(registered, commands);
  EXPECT_EQ(fake_.OpenHandles(), 0);
  // Nothing but the eleven files lands in the system directory (beside Windows' taskschd.dll).
  int present = 0;
  for (const auto& path : fake_.Paths()) present += path.rfind(SystemDir(), 0) == 0;
  EXPECT_EQ(present, 12);
}

TEST_P(Deployment, DerivesNameTargetAndToolForTheControlAskingWow64OncePerRun) {
  const Layout layout = ProbeLayout(fake_);
  EXPECT_EQ(fake_.CountOf("IsWow64Process"), 1);
  EXPECT_EQ(layout.system_dir, SystemDir());
  const EntryPlan plan = PlanEntry(layout, kCatalogue[3]);
  EXPECT_EQ(plan.resource_name, wow64() ? u"64_KorviGovX" : u"32_KorviGovX");
  EXPECT_EQ(plan.target_path, SystemDir() + u"KorviGovX.ocx");
  EXPECT_EQ(plan.tool, SystemDir() + u"regsvr32.exe");
  EXPECT_EQ(plan.tool_directory, SystemDir());
  InstallComponents(fake_, fake_);
  EXPECT_EQ(fake_.CountOf("IsWow64Process"), 2);
}

TEST_P(Deployment, RegistersEachServerAfterItsCopyAndBeforeTheNextCopy) {
  InstallComponents(fake_, fake_);
  ASSERT_EQ(fake_.processes().size(), 6u);
  for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
    const std::u16string target = SystemDir() + EntryFileName(kCatalogue[i]);
    const int replaced = fake_.IndexOf("MoveFileExW", target);
    const int next_copy =
        i + 1 < kCatalogue.size()
            ? fake_.IndexOf("MoveFileExW", SystemDir() + EntryFileName(kCatalogue[i + 1]))
            : static_cast<int>(fake_.calls().size());
    const int child = fake_.IndexOf("CreateProcessW", {}, replaced);
    if (kCatalogue[i].Register) {
      EXPECT_EQ(fake_.processes()[i].command_line,
                SystemDir() + u"regsvr32.exe /s \"" + target + u"\"");
      ASSERT_GE(child, 0);
      EXPECT_LT(child, next_copy) << Narrow(target);
      // The child has ended (its handles closed) before the next file is written.
      EXPECT_LT(fake_.IndexOf("CloseHandle", {}, fake_.IndexOf("GetExitCodeProcess", {}, child)),
                next_copy);
    } else {
      EXPECT_TRUE(child == -1 || child > next_copy) << Narrow(target);
    }
  }
}

TEST_P(Deployment, AFailedCopyIsAbsorbedAndTheOldFileIsStillRegistered) {
  const std::u16string blocked = SystemDir() + u"msxml6.dll";
  fake_.AddFile(blocked, Bytes(50, 9));
  fake_.DenyAccess(blocked, platform::kDelete);
  InstallComponents(fake_, fake_);
  EXPECT_EQ(fake_.At(blocked).bytes, Bytes(50, 9));
  EXPECT_EQ(fake_.processes().size(), 6u);
  EXPECT_EQ(fake_.processes()[2].command_line,
            SystemDir() + u"regsvr32.exe /s \"" + blocked + u"\"");
  // The entries after it are still deployed.
  EXPECT_EQ(fake_.At(SystemDir() + u"qelKorviLib.dll").bytes, Payload(10, wow64()));
}

TEST_P(Deployment, AServerStillHeldIsRegisteredNowAndByAStartUpTaskAfterTheRestart) {
  FakeScheduler scheduler;
  scheduler.Attach(fake_);
  const std::u16string held = SystemDir() + u"KorviDataSetX.dll";
  fake_.AddFile(held, Bytes(50, 9));
  fake_.LoadAsImage(held);
  fake_.AddFile(SystemDir() + u"libeay32.dll", Bytes(60, 9));
  fake_.HoldOpen(SystemDir() + u"libeay32.dll", 0);  // not a server: nothing to register
  const std::u16string session_manager = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  const auto run = [&] {
    const std::size_t first = fake_.processes().size();
    InstallComponents(fake_, fake_);
    // The same six regsvr32 children in the same order, the file there now registered as
    // before, the held server's task handed to schtasks before them.
    std::vector<std::u16string> children;
    for (std::size_t i = first; i < fake_.processes().size(); ++i)
      children.push_back(*fake_.processes()[i].application);
    std::vector<std::u16string> expected(6, SystemDir() + u"regsvr32.exe");
    expected.insert(expected.begin() + 1, SystemDir() + u"schtasks.exe");
    EXPECT_EQ(children, expected);
    EXPECT_EQ(fake_.processes()[first + 2].command_line,
              SystemDir() + u"regsvr32.exe /s \"" + held + u"\"");
  };
  run();
  const EntryPlan plan = PlanEntry(ProbeLayout(fake_), kCatalogue[1]);
  EXPECT_EQ(scheduler.Tasks(fake_),
            (std::map<std::u16string, std::u16string>{
                {u"setup_vannix KorviDataSetX.dll", StartUpTaskDefinition(plan)}}));
  const std::vector<std::u16string> renames{
      u"\\??\\" + held + u".vannix-new", u"!\\??\\" + held,
      u"\\??\\" + SystemDir() + u"libeay32.dll.vannix-new", u"!\\??\\" + SystemDir() + u"libeay32.dll"};
  EXPECT_EQ(fake_.RegistryStringsOf(session_manager, u"PendingFileRenameOperations"), renames);
  EXPECT_EQ(fake_.OpenHandles(), 0);

  // A second run before the restart, both still held: nothing is scheduled twice.
  run();
  EXPECT_EQ(scheduler.Tasks(fake_).size(), 1u);
  EXPECT_EQ(fake_.RegistryStringsOf(session_manager, u"PendingFileRenameOperations"), renames);

  fake_.Restart();
  EXPECT_EQ(fake_.At(held).bytes, Payload(1, wow64()));
  EXPECT_EQ(fake_.At(SystemDir() + u"libeay32.dll").bytes, Payload(7, wow64()));
}

TEST_P(Deployment, AHeldServerWhoseRegistrationCannotBeScheduledIsNotReplacedAtTheRestart) {
  FakeScheduler scheduler;
  scheduler.exit_code = 1;
  scheduler.Attach(fake_);
  const std::u16string held = SystemDir() + u"midas.dll";
  fake_.AddFile(held, Bytes(50, 9));
  fake_.LoadAsImage(held);
  InstallComponents(fake_, fake_);
  EXPECT_FALSE(fake_.RegistryStringsOf(u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                                       u"PendingFileRenameOperations"));
  EXPECT_FALSE(fake_.Exists(held + u".vannix-new"));
  EXPECT_FALSE(fake_.Exists(held + u".vannix-next"));
  EXPECT_EQ(fake_.At(held).bytes, Bytes(50, 9));
  // Never a RunOnce value where Windows has a Task Scheduler.
  EXPECT_EQ(fake_.CountOf("RegCreateKeyExW") + fake_.CountOf("RegSetValueExW"), 0);
  // The file that is there is registered as ever.
  EXPECT_EQ(fake_.processes().back().command_line,
            SystemDir() + u"regsvr32.exe /s \"" + SystemDir() + u"stdvcl40.dll\"");
  EXPECT_GE(fake_.IndexOf("CreateProcessW", SystemDir() + u"regsvr32.exe /s \"" + held + u"\""), 0);
}

TEST_P(Deployment, ANormalRunNeitherWaitsNorTouchesTheRegistry) {
  InstallComponents(fake_, fake_);
  EXPECT_TRUE(fake_.sleeps.empty());
  for (const char* call : {"RegOpenKeyExW", "RegCreateKeyExW", "RegSetValueExW", "LoadLibraryW"}) {
    if (std::string(call) == "LoadLibraryW") {
      EXPECT_EQ(fake_.CountOf("LoadSystemLibrary"), 0);
    } else {
      EXPECT_EQ(fake_.CountOf(call), 0) << call;
    }
  }
}

TEST_P(Deployment, AMissingPayloadSkipsOnlyItsEntry) {
  FakePlatform sparse;
  sparse.wow64_flag = wow64() ? 1 : 0;
  for (std::size_t i = 1; i < kCatalogue.size(); ++i)
    sparse.AddResource((wow64() ? u"64_" : u"32_") + Upper(kCatalogue[i].BaseName), Payload(i, wow64()));
  InstallComponents(sparse, sparse);
  EXPECT_FALSE(sparse.Exists(SystemDir() + u"KorviX.dll"));
  EXPECT_EQ(sparse.processes().size(), 5u);  // nothing to register for KorviX
  EXPECT_EQ(sparse.At(SystemDir() + u"qelKorviLib.dll").bytes, Payload(10, wow64()));
}

TEST_P(Deployment, ASecondRunLeavesTheSameFiles) {
  InstallComponents(fake_, fake_);
  std::vector<std::vector<std::byte>> first;
  for (const auto& entry : kCatalogue) first.push_back(fake_.At(SystemDir() + EntryFileName(entry)).bytes);
  InstallComponents(fake_, fake_);
  for (std::size_t i = 0; i < kCatalogue.size(); ++i)
    EXPECT_EQ(fake_.At(SystemDir() + EntryFileName(kCatalogue[i])).bytes, first[i]);
}

TEST_P(Deployment, AnImageThatBecomesUnreadableIsAbsorbedEntryByEntry) {
  const std::u16string prefix = wow64() ? u"64_" : u"32_";
  fake_.LoseImageFrom(prefix + u"KORVIDATASETX", 500);
  const std::u16string second = SystemDir() + EntryFileName(kCatalogue[1]);
  fake_.AddFile(second, Bytes(40, 8));
  InstallComponents(fake_, fake_);  // returns: nothing escapes
  EXPECT_EQ(fake_.At(SystemDir() + EntryFileName(kCatalogue[0])).bytes, Payload(0, wow64()));
  EXPECT_EQ(fake_.At(second).bytes, Bytes(40, 8));
  for (const auto& path : fake_.Paths()) EXPECT_EQ(path.find(u".vannix-new"), std::u16string::npos);
  for (std::size_t i = 2; i < kCatalogue.size(); ++i)
    EXPECT_EQ(fake_.Exists(SystemDir() + EntryFileName(kCatalogue[i])), false) << i;
  EXPECT_EQ(fake_.OpenHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(BothKindsOfWindows, Deployment, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Wow64" : "Windows32"; });

TEST(DeploymentFailure, AnUnreadableWindowsDirectoryEscapesBeforeAnythingIsWritten) {
  FakePlatform fake;
  AddCataloguePayloads(fake);
  fake.FailCall("GetSystemWindowsDirectoryW", 0, 5);
  EXPECT_THROW(InstallComponents(fake, fake), Failure);
  EXPECT_EQ(fake.CountOf("CreateFileW"), 0);
  EXPECT_EQ(fake.CountOf("CreateProcessW"), 0);
}

TEST(DeploymentNames, PayloadLookupMatchesWholeNamesOnly) {
  FakePlatform fake;
  fake.AddResource(u"32_MSXML6R", Bytes(10, 1));
  fake.AddResource(u"32_QELKORVILIBUNICODE", Bytes(20, 2));
  vannix::Deployment deployment(fake, fake);
  InstallComponent(deployment, PlanEntry(deployment.layout, kCatalogue[2]));
  InstallComponent(deployment, PlanEntry(deployment.layout, kCatalogue[10]));
  EXPECT_FALSE(fake.Exists(u"C:\\Windows\\System32\\msxml6.dll"));
  EXPECT_FALSE(fake.Exists(u"C:\\Windows\\System32\\qelKorviLib.dll"));
}

}  // namespace
}  // namespace vannix::testing
