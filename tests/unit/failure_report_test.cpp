#include "installer/failure_report.h"
#include "installer/process_frame.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

const CodeLocation kWhere{u"setup_vannix.exe", 0x1A2B};

TEST(FailureText, FollowsTheTemplate) {
  EXPECT_EQ(FailureText("CopyError", kWhere, u"Disk full"),
            u"Exception CopyError in module setup_vannix.exe at 00001A2B.\r\nDisk full.\r\n");
}

TEST(FailureText, AddsAFullStopOnlyWhereOneIsMissing) {
  EXPECT_EQ(FailureText("E", kWhere, u"Done."),
            u"Exception E in module setup_vannix.exe at 00001A2B.\r\nDone.\r\n");
  EXPECT_EQ(FailureText("E", kWhere, u""),
            u"Exception E in module setup_vannix.exe at 00001A2B.\r\n\r\n");
}

TEST(FailureText, IsCutAt1024Characters) {
  const std::u16string text = FailureText("E", kWhere, std::u16string(2000, u'm'));
  EXPECT_EQ(text.size(), kFailureTextLimit);
  EXPECT_EQ(text.rfind(u"Exception E in module", 0), 0u);
  const std::u16string fits = FailureText("E", kWhere, std::u16string(900, u'm'));
  EXPECT_LT(fits.size(), kFailureTextLimit);
  EXPECT_EQ(fits.substr(fits.size() - 3), u".\r\n");
}

TEST(LocateAddress, GivesTheModuleFileNameAndOffset) {
  FakePlatform fake;
  fake.AddModule(0x00400000, 0x100000, u"C:\\Temp\\setup_vannix.exe");
  fake.AddModule(0x77000000, 0x100000, u"C:\\Windows\\SysWOW64\\KERNELBASE.dll");
  const CodeLocation own = LocateAddress(fake, 0x00401234);
  EXPECT_EQ(own.module_name, u"setup_vannix.exe");
  EXPECT_EQ(own.offset, 0x1234u);
  EXPECT_EQ(LocateAddress(fake, 0x77000010).module_name, u"KERNELBASE.dll");
  // Outside every module: the installer's own name and the address less 4096.
  const CodeLocation nowhere = LocateAddress(fake, 0x00002000);
  EXPECT_EQ(nowhere.module_name, u"setup_vannix.exe");
  EXPECT_EQ(nowhere.offset, 0x1000u);
}

TEST(ReportFailure, ShowsOneTaskModalErrorBox) {
  FakePlatform fake;
  fake.AddModule(0x00400000, 0x100000, u"C:\\Temp\\setup_vannix.exe");
  ReportFailure(fake, Failure("CopyError", u"Cannot replace x", 0x00401000));
  ASSERT_EQ(fake.message_boxes().size(), 1u);
  const MessageBox& box = fake.message_boxes()[0];
  EXPECT_EQ(box.caption, u"Application Error");
  EXPECT_EQ(box.flags, 0x2010u);
  EXPECT_FALSE(box.ansi);
  EXPECT_EQ(box.text,
            u"Exception CopyError in module setup_vannix.exe at 00001000.\r\nCannot replace x.\r\n");
}

TEST(RuntimeError, AFaultBeforeTheRunShowsItsBoxAndExitsWith217) {
  FakePlatform fake;
  EXPECT_EQ(OnStartUpFault(fake, 0x0040A1B2), 217);
  ASSERT_EQ(fake.message_boxes().size(), 1u);
  EXPECT_EQ(fake.message_boxes()[0].text, u"Runtime error 217 at 0040A1B2");
  EXPECT_EQ(RuntimeErrorText(5, 0), "Runtime error   5 at 00000000");
  EXPECT_TRUE(fake.message_boxes()[0].ansi);
  EXPECT_EQ(fake.message_boxes()[0].caption, u"Error");
  EXPECT_EQ(fake.message_boxes()[0].flags, 0u);
}

TEST(SystemFault, AccessViolationNamesTheKindAndAddress) {
  const std::uintptr_t write[] = {1, 0x10};
  const Failure f = FailureFromSystemFault(0xC0000005u, 0x00401234, 2, write);
  EXPECT_EQ(f.class_name(), "AccessViolation");
  EXPECT_EQ(f.message(), u"Access violation at address 00401234. Write of address 00000010");
  EXPECT_EQ(f.address(), 0x00401234u);
  const std::uintptr_t read[] = {0, 0};
  EXPECT_EQ(FailureFromSystemFault(0xC0000005u, 1, 2, read).message(),
            u"Access violation at address 00000001. Read of address 00000000");
}

TEST(SystemFault, OtherCodesMapToTheirOwnClasses) {
  EXPECT_EQ(FailureFromSystemFault(0xC000001Du, 0, 0, nullptr).class_name(), "IllegalInstruction");
  EXPECT_EQ(FailureFromSystemFault(0xC0000094u, 0, 0, nullptr).class_name(), "DivisionByZero");
  EXPECT_EQ(FailureFromSystemFault(0xC00000FDu, 0, 0, nullptr).class_name(), "StackOverflow");
  const Failure other = FailureFromSystemFault(0xE0001234u, 0x10, 0, nullptr);
  EXPECT_EQ(other.class_name(), "SystemFault");
  EXPECT_EQ(other.message(), u"System fault E0001234 at address 00000010");
}

}  // namespace
}  // namespace vannix::testing
