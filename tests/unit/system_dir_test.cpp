#include "installer/system_dir.h"

#include <gtest/gtest.h>

#include "installer/failure.h"
#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

TEST(IsWow64, FollowsTheFlagAndReleasesKernel32) {
  for (const std::int32_t flag : {0, 1, 2, -1}) {
    FakePlatform fake;
    fake.wow64_flag = flag;
    EXPECT_EQ(IsWow64(fake), flag != 0) << "flag " << flag;
    EXPECT_EQ(fake.CountOf("LoadLibraryW"), 1);
    EXPECT_EQ(fake.CountOf("FreeLibrary"), 1);
    EXPECT_EQ(fake.OpenHandles(), 0);
  }
}

TEST(IsWow64, IsFalseWhenTheQuestionCannotBeAsked) {
  FakePlatform no_kernel32;
  no_kernel32.wow64_flag = 1;
  no_kernel32.kernel32_loadable = false;
  EXPECT_FALSE(IsWow64(no_kernel32));
  EXPECT_EQ(no_kernel32.CountOf("GetProcAddress"), 0);
  EXPECT_EQ(no_kernel32.CountOf("FreeLibrary"), 0);  // nothing was loaded

  FakePlatform no_export;
  no_export.wow64_flag = 1;
  no_export.has_is_wow64_process = false;
  EXPECT_FALSE(IsWow64(no_export));
  EXPECT_EQ(no_export.CountOf("IsWow64Process"), 0);
  EXPECT_EQ(no_export.CountOf("FreeLibrary"), 1);
  EXPECT_EQ(no_export.OpenHandles(), 0);

  FakePlatform failing_call;
  failing_call.wow64_flag = 1;
  failing_call.FailCall("IsWow64Process", 1, 5);
  EXPECT_FALSE(IsWow64(failing_call));
  EXPECT_EQ(failing_call.OpenHandles(), 0);
}

TEST(IsWow64, ReleasesKernel32WhenTheLookupThrows) {
  FakePlatform fake;
  fake.ThrowFromCall("GetProcAddress", 1);
  EXPECT_ANY_THROW(IsWow64(fake));
  EXPECT_EQ(fake.CountOf("FreeLibrary"), 1);
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(GetSystemDir, PicksTheDirectoryForThirtyTwoBitImages) {
  FakePlatform windows32;
  EXPECT_EQ(GetSystemDir(windows32), u"C:\\Windows\\System32\\");

  FakePlatform wow64;
  wow64.wow64_flag = 1;
  EXPECT_EQ(GetSystemDir(wow64), u"C:\\Windows\\SysWOW64\\");
  EXPECT_EQ(GetSystemDir(wow64), GetSystemDir(wow64));
}

TEST(GetSystemDir, JoinsTheSuffixWithoutLookingAtTheLastCharacter) {
  FakePlatform drive_root;
  drive_root.windows_directory = u"D:\\";
  EXPECT_EQ(GetSystemDir(drive_root), u"D:\\\\System32\\");
}

TEST(GetSystemDir, UsesADirectoryOfExactly144CharactersWhole) {
  FakePlatform fake;
  fake.windows_directory = u"C:\\" + std::u16string(141, u'w');
  ASSERT_EQ(fake.windows_directory.size(), 144u);
  EXPECT_EQ(GetSystemDir(fake), fake.windows_directory + u"\\System32\\");
}

TEST(GetSystemDir, RaisesRatherThanMakingUpAPath) {
  FakePlatform too_long;
  too_long.windows_directory = u"C:\\" + std::u16string(142, u'w');
  try {
    GetSystemDir(too_long);
    FAIL() << "a 145-character Windows directory was accepted";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.class_name(), "SystemDirectoryError");
    EXPECT_NE(failure.message().find(u"longer than 144"), std::u16string::npos);
  }

  FakePlatform failing;
  failing.FailCall("GetSystemWindowsDirectoryW", 1, 5);
  try {
    GetSystemDir(failing);
    FAIL() << "a failed GetSystemWindowsDirectoryW was accepted";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.message(), u"The Windows directory cannot be read (error 5)");
  }
}

}  // namespace
}  // namespace vannix::testing
