#include "installer/registration.h"

#include <gtest/gtest.h>

#include "installer/file_exists.h"
#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

const std::u16string kDir = u"C:\\Windows\\SysWOW64\\";
const std::u16string kTarget = kDir + u"KorviX.dll";

// The plan of KorviX.dll (or `entry`) for a system directory.
EntryPlan Plan(const std::u16string& system_dir = kDir, std::size_t entry = 0) {
  return PlanEntry(LayoutFor(system_dir.ends_with(u"SysWOW64\\"), system_dir), kCatalogue[entry]);
}

TEST(RegistrationStep, ClearFlagTouchesNothing) {
  FakePlatform fake;
  fake.AddFile(kDir + u"ssleay32.dll", Bytes(10));
  RegisterComponent(fake, Plan(kDir, 6));  // not a server
  EXPECT_TRUE(fake.calls().empty());
}

TEST(RegistrationStep, StartsRegsvr32ByItsFullPathWithTheQuotedTarget) {
  FakePlatform fake;
  fake.AddFile(kTarget, Bytes(10));
  RegisterComponent(fake, Plan());
  ASSERT_EQ(fake.processes().size(), 1u);
  const ProcessStart& child = fake.processes()[0];
  EXPECT_EQ(child.command_line,
            u"C:\\Windows\\SysWOW64\\regsvr32.exe /s \"C:\\Windows\\SysWOW64\\KorviX.dll\"");
  ASSERT_TRUE(child.application.has_value());
  EXPECT_EQ(*child.application, u"C:\\Windows\\SysWOW64\\regsvr32.exe");
  // In the system directory, never the installer's own (a Downloads folder, say): the loader
  // looks there for a server's libraries that are not installed yet.
  EXPECT_EQ(child.directory, std::optional<std::u16string>(kDir));
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(RegistrationStep, ABlankInTheWindowsDirectoryCannotRedirectTheTool) {
  FakePlatform fake;
  const std::u16string dir = u"C:\\Program Files\\Win\\System32\\";
  fake.AddFile(dir + u"midas.dll", Bytes(10));
  RegisterComponent(fake, Plan(dir, 4));
  ASSERT_EQ(fake.processes().size(), 1u);
  EXPECT_EQ(*fake.processes()[0].application, dir + u"regsvr32.exe");
}

TEST(RegistrationStep, ReplacesAPlaceholderInTheSystemDirectoryToo) {
  FakePlatform fake;
  const std::u16string dir = u"C:\\{S}\\{s}\\System32\\";
  const std::u16string target = dir + u"KorviX.dll";
  fake.AddFile(target, Bytes(10));
  RegisterComponent(fake, Plan(dir));
  ASSERT_EQ(fake.processes().size(), 1u);
  EXPECT_EQ(fake.processes()[0].command_line,
            u"C:\\" + target + u"\\{s}\\System32\\regsvr32.exe /s \"" + target + u"\"");
  EXPECT_EQ(*fake.processes()[0].application, dir + u"regsvr32.exe");
}

TEST(Replacement, IsLeftToRightNonOverlappingAndNotRescanned) {
  EXPECT_EQ(ReplaceAll(u"a{S}b{S}", u"{S}", u"X"), u"aXbX");
  EXPECT_EQ(ReplaceAll(u"{S}", u"{S}", u"{S}{S}"), u"{S}{S}");
  EXPECT_EQ(ReplaceAll(u"{{S}S}", u"{S}", u"S"), u"{SS}");
  EXPECT_EQ(ReplaceAll(u"{s} {S", u"{S}", u"X"), u"{s} {S");
  EXPECT_EQ(ReplaceAll(u"", u"{S}", u"X"), u"");
}

struct ExistenceCase {
  const char* name;
  std::function<void(FakePlatform&)> arrange;
  bool exists;
};

// Test listings show the case's name rather than the bytes of the structure.
void PrintTo(const ExistenceCase& c, std::ostream* out) { *out << c.name; }

class Existence : public ::testing::TestWithParam<ExistenceCase> {};

TEST_P(Existence, DecidesWhetherRegsvr32Starts) {
  FakePlatform fake;
  GetParam().arrange(fake);
  EXPECT_EQ(FileExists(fake, kTarget), GetParam().exists);
  EXPECT_EQ(fake.OpenHandles(), 0);

  FakePlatform step;
  GetParam().arrange(step);
  RegisterComponent(step, Plan());
  EXPECT_EQ(step.processes().size(), GetParam().exists ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, Existence,
    ::testing::Values(
        ExistenceCase{"Absent", [](FakePlatform&) {}, false},
        ExistenceCase{"PlainFile", [](FakePlatform& f) { f.AddFile(kTarget, Bytes(1)); }, true},
        ExistenceCase{"Directory", [](FakePlatform& f) { f.AddDirectory(kTarget); }, false},
        ExistenceCase{"LinkToMissingFile",
                      [](FakePlatform& f) { f.AddLink(kTarget, u"C:\\gone.dll"); }, false},
        ExistenceCase{"LinkToExistingFile",
                      [](FakePlatform& f) {
                        f.AddFile(u"C:\\real.dll", Bytes(1));
                        f.AddLink(kTarget, u"C:\\real.dll");
                      },
                      true},
        ExistenceCase{"LinkToLockedFile",
                      [](FakePlatform& f) {
                        f.AddFile(u"C:\\real.dll", Bytes(1));
                        f.HoldOpen(u"C:\\real.dll", 0);
                        f.AddLink(kTarget, u"C:\\real.dll");
                      },
                      true},
        ExistenceCase{"DirectoryLink",
                      [](FakePlatform& f) {
                        f.AddDirectory(u"C:\\real");
                        f.AddLink(kTarget, u"C:\\real", true);
                      },
                      false},
        ExistenceCase{"AttributesDeniedFileListed",
                      [](FakePlatform& f) {
                        f.AddFile(kTarget, Bytes(1));
                        f.FailCall("GetFileAttributesW", 0, platform::kErrorAccessDenied);
                      },
                      true},
        ExistenceCase{"AttributesDeniedDirectoryListed",
                      [](FakePlatform& f) {
                        f.AddDirectory(kTarget);
                        f.FailCall("GetFileAttributesW", 0, platform::kErrorAccessDenied);
                      },
                      false},
        ExistenceCase{"AttributesDeniedNothingListed",
                      [](FakePlatform& f) {
                        f.FailCall("GetFileAttributesW", 0, platform::kErrorAccessDenied);
                      },
                      false},
        ExistenceCase{"InvalidName",
                      [](FakePlatform& f) {
                        f.AddFile(kTarget, Bytes(1));
                        f.FailCall("GetFileAttributesW", 0, platform::kErrorInvalidName);
                      },
                      false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExistenceCalls, OpensALinkWithReadSharingAndClosesItAtOnce) {
  FakePlatform fake;
  fake.AddFile(u"C:\\real.dll", Bytes(1));
  fake.AddLink(kTarget, u"C:\\real.dll");
  ASSERT_TRUE(FileExists(fake, kTarget));
  const int open = fake.IndexOf("CreateFileW", kTarget);
  ASSERT_GE(open, 0);
  EXPECT_EQ(fake.calls()[static_cast<std::size_t>(open) + 1].name, "CloseHandle");
  EXPECT_EQ(fake.calls()[static_cast<std::size_t>(open) + 1].handle,
            fake.calls()[static_cast<std::size_t>(open)].handle);
}

}  // namespace
}  // namespace vannix::testing
