#include "installer/process_frame.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "installer/deploy.h"
#include "installer/failure_report.h"
#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

const std::vector<std::string> kNormalRun = {"OleInitialize", "CoInitialize", "OleUninitialize",
                                             "CoUninitialize"};

std::vector<std::string> FrameCalls(const FakePlatform& fake) {
  std::vector<std::string> names;
  for (const auto& name : fake.CallNames())
    if (name.find("nitialize") != std::string::npos || name.rfind("MessageBox", 0) == 0)
      names.push_back(name);
  return names;
}

TEST(ProcessFrame, ANormalRunInstallsOnceAndShutsDownInOrder) {
  FakePlatform fake;
  int installs = 0;
  EXPECT_EQ(ProcessFrame(fake).Run([&] { ++installs; }), 0);
  EXPECT_EQ(installs, 1);
  EXPECT_EQ(FrameCalls(fake), kNormalRun);
}

TEST(ProcessFrame, AbsorbedFailuresStillExitWithZero) {
  FakePlatform fake;
  AddCataloguePayloads(fake);
  fake.FailCall("MoveFileExW", 0, platform::kErrorAccessDenied);
  fake.FailCall("CreateProcessW", 0, 2);
  EXPECT_EQ(ProcessFrame(fake).Run([&] { InstallComponents(fake); }), 0);
  EXPECT_TRUE(fake.message_boxes().empty());
}

TEST(ProcessFrame, AnEscapingFailureShowsOneBoxThenShutsDownWithOne) {
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
  // The box is shown while COM is still up; shutdown runs after it.
  EXPECT_EQ(FrameCalls(fake), (std::vector<std::string>{"OleInitialize", "CoInitialize", "MessageBoxW",
                                                        "OleUninitialize", "CoUninitialize"}));
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
  fake.FailCall("GetWindowsDirectoryW", 0, 5);
  EXPECT_EQ(ProcessFrame(fake).Run([&] { InstallComponents(fake); }), 1);
  EXPECT_EQ(fake.message_boxes().size(), 1u);
  EXPECT_EQ(fake.CountOf("CreateFileW"), 0);
  EXPECT_EQ(fake.CountOf("CoUninitialize"), 1);
}

TEST(ProcessFrame, FailedInitialisationIsNotUndone) {
  FakePlatform fake;
  fake.FailCall("OleInitialize", 1, 0);
  fake.FailCall("CoInitialize", 1, 0);
  EXPECT_EQ(ProcessFrame(fake).Run([] {}), 0);
  EXPECT_EQ(fake.CountOf("OleUninitialize"), 0);
  EXPECT_EQ(fake.CountOf("CoUninitialize"), 0);
}

TEST(ProcessFrame, AFailureWhileStartingGives217) {
  FakePlatform fake;
  int installs = 0;
  fake.ThrowFromCall("OleInitialize", 1);
  EXPECT_EQ(ProcessFrame(fake).Run([&] { ++installs; }), 217);
  EXPECT_EQ(installs, 0);
  ASSERT_EQ(fake.message_boxes().size(), 1u);
  EXPECT_TRUE(fake.message_boxes()[0].ansi);
  EXPECT_EQ(Narrow(fake.message_boxes()[0].text).rfind("Runtime error 217 at ", 0), 0u);
}

TEST(ProcessFrame, AFailureInTheCoInitialiseStepIsAnApplicationError) {
  FakePlatform fake;
  fake.ThrowFromCall("CoInitialize", 1);
  EXPECT_EQ(ProcessFrame(fake).Run([] {}), 1);
  EXPECT_EQ(FrameCalls(fake), (std::vector<std::string>{"OleInitialize", "CoInitialize",
                                                        "MessageBoxW", "OleUninitialize"}));
}

TEST(ProcessFrame, ASystemFaultIsReportedOnceAndShutsDown) {
  FakePlatform fake;
  ProcessFrame frame(fake);
  int code = -1;
  frame.Run([&] {
    const std::uintptr_t info[] = {1, 0};
    code = frame.OnSystemFault(FailureFromSystemFault(0xC0000005u, 0x00401000, 2, info));
  });
  EXPECT_EQ(code, 1);
  EXPECT_EQ(fake.message_boxes().size(), 1u);
  EXPECT_EQ(fake.CountOf("OleUninitialize"), 1);  // not run a second time after the fault
  EXPECT_EQ(fake.CountOf("CoUninitialize"), 1);
}

}  // namespace
}  // namespace vannix::testing
