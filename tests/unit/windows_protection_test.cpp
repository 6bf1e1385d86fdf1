#include "installer/windows_protection.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

constexpr char16_t kSysWow64[] = u"C:\\Windows\\SysWOW64\\";

TEST(WindowsProtection, AsksSfcFromTheSystemDirectoryOnlyWhenAskedAndReleasesIt) {
  FakePlatform fake;
  fake.protected_files = {u"C:\\Windows\\SysWOW64\\msxml6.dll"};
  {
    WindowsProtection protection(fake);
    EXPECT_EQ(fake.CountOf("LoadSystemLibrary"), 0);
    EXPECT_TRUE(protection.IsProtected(u"C:\\WINDOWS\\SYSWOW64\\MSXML6.DLL"));
    EXPECT_FALSE(protection.IsProtected(u"C:\\Windows\\SysWOW64\\KorviX.dll"));
    // Once for the run, from the system directory: sfc_os.dll, to which sfc.dll forwards,
    // first, so that the loader never looks for it beside the program.
    EXPECT_EQ(fake.CountOf("LoadSystemLibrary"), 2);
    EXPECT_EQ(fake.IndexOf("LoadSystemLibrary", u"sfc_os.dll"), 0);
    EXPECT_EQ(fake.IndexOf("LoadSystemLibrary", u"sfc.dll"), 1);
  }
  // Released in reverse: sfc.dll, then sfc_os.dll.
  ASSERT_EQ(fake.CountOf("FreeLibrary"), 2);
  EXPECT_EQ(fake.calls()[static_cast<std::size_t>(fake.IndexOf("FreeLibrary"))].handle,
            fake.calls()[1].handle);
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(WindowsProtection, NothingIsProtectedWithoutSfcOrItsExport) {
  FakePlatform no_sfc;
  no_sfc.sfc_loadable = false;
  no_sfc.protected_files = {u"C:\\Windows\\SysWOW64\\msxml6.dll"};
  EXPECT_FALSE(WindowsProtection(no_sfc).IsProtected(u"C:\\Windows\\SysWOW64\\msxml6.dll"));
  EXPECT_EQ(no_sfc.CountOf("SfcIsFileProtected"), 0);

  FakePlatform no_export;
  no_export.has_sfc_is_file_protected = false;
  no_export.protected_files = no_sfc.protected_files;
  EXPECT_FALSE(WindowsProtection(no_export).IsProtected(u"C:\\Windows\\SysWOW64\\msxml6.dll"));
  EXPECT_EQ(no_export.OpenHandles(), 0);
}

}  // namespace
}  // namespace vannix::testing
