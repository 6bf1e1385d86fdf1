#include "installer/process_frame.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "installer/deploy.h"
#include "installer/failure_report.h"
#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

TEST(ProcessFrame, ANormalRunInstallsOnceAndAsksTheSystemForNothingElse) {
  FakePlatform fake;
  int installs = 0;
  EXPECT_EQ(ProcessFrame(fake).Run([&] { ++installs; }), 0);
  EXPECT_EQ(installs, 1);
  // No window, no OLE or COM, and user32 is not even loaded.
  EXPECT_TRUE(fake.calls().empty());
}

TEST(ProcessFrame, AbsorbedFailuresStillExitWithZero) {
  FakePlatform fake;
  AddCataloguePayloads(fake);
  fake.FailCall("MoveFileExW", 0, platform::kErrorAccessDenied);
  fake.FailCall("CreateProcessW", 0, 2);
  EXPECT_EQ(ProcessFrame(fake).Run([&] { InstallComponents(fake, fake); }), 0);
  EXPECT_TRUE(fake.message_boxes().empty());
}

TEST(ProcessFrame, AnEscapingFailureShowsOneBoxAndGivesOne) {
  FakePlatform fake;
  fake.AddModule(0x00400000, 0x100000, u"C:\\Temp\\setup_vannix.exe");
  const int code = ProcessFrame(fake).Run(
      [] { throw Failure("SystemDirectoryError", u"The Windows directory cannot be read", 0x00402000); });
  EXPECT_EQ(code, 1);
  ASSERT_EQ(fake.message_boxes().size(), 1u);
  EXPECT_EQ(fake.message_boxes()[0].caption, u"Application Error");
  EXPECT_EQ(fake.message_boxes()[0].text,
            u"Exception SystemDirectoryError in module setup_vannix.exe at 00002000.\r\n"
            u"The Windows directory cannot be read.\r\n");
  EXPECT_EQ(fake.CallNames(), std::vector<std::string>{"MessageBoxW"});
}

TEST(ProcessFrame, ABoxThatCannotBeShownStillGivesOne) {
  FakePlatform fake;
  fake.user32_loadable = false;
  EXPECT_EQ(ProcessFrame(fake).Run([] { throw Failure("CopyError", u"x"); }), 1);
  EXPECT_TRUE(fake.message_boxes().empty());
  EXPECT_EQ(fake.CountOf("MessageBoxW"), 1);
}

TEST(ProcessFrame, ForeignExceptionsAreReportedWithTheirClassName) {
  FakePlatform fake;
  EXPECT_EQ(ProcessFrame(fake).Run([] { throw std::out_of_range("index 7."); }), 1);
  ASSERT_EQ(fake.message_boxes().size(), 1u);
  const std::u16string& text = fake.message_boxes()[0].text;
  EXPECT_EQ(text.rfind(u"Exception std::out_of_range in module ", 0), 0u) << Narrow(text);
  EXPECT_EQ(text.substr(text.size() - 12), u"\r\nindex 7.\r\n");
}

TEST(ProcessFrame, AWindowsDirectoryThatCannotBeReadEndsTheRunWithOne) {
  FakePlatform fake;
  AddCataloguePayloads(fake);
  fake.FailCall("GetSystemWindowsDirectoryW", 0, 5);
  EXPECT_EQ(ProcessFrame(fake).Run([&] { InstallComponents(fake, fake); }), 1);
  EXPECT_EQ(fake.message_boxes().size(), 1u);
  EXPECT_EQ(fake.CountOf("CreateFileW"), 0);
}

TEST(ProcessFrame, ASystemFaultIsReportedInOneBoxEvenWhenItRecurs) {
  FakePlatform fake;
  ProcessFrame frame(fake);
  std::vector<int> codes;
  frame.Run([&] {
    const std::uintptr_t info[] = {1, 0};
    const Failure fault = FailureFromSystemFault(0xC0000005u, 0x00401000, 2, info);
    codes.push_back(frame.OnSystemFault(fault));
    codes.push_back(frame.OnSystemFault(fault));  // a second fault while the first is reported
  });
  EXPECT_EQ(codes, (std::vector<int>{1, 1}));
  ASSERT_EQ(fake.message_boxes().size(), 1u);
  EXPECT_EQ(fake.message_boxes()[0].text.rfind(u"Exception AccessViolation in module ", 0), 0u);
}

}  // namespace
}  // namespace vannix::testing
