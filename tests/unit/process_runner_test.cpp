#include "installer/process_runner.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

const std::u16string kCommand = u"C:\\Windows\\System32\\regsvr32.exe /s \"C:\\x.dll\"";

TEST(ExecuteAndWait, StartsTheChildAsRegsvr32NeedsIt) {
  FakePlatform fake;
  fake.child_exit_code = 5;
  EXPECT_EQ(ExecuteAndWait(fake, kCommand, 1, true), 5);
  ASSERT_EQ(fake.processes().size(), 1u);
  const ProcessStart& child = fake.processes()[0];
  EXPECT_EQ(child.command_line, kCommand);
  EXPECT_FALSE(child.application.has_value());
  EXPECT_FALSE(child.directory.has_value());
  EXPECT_FALSE(child.inherit_handles);
  EXPECT_EQ(child.creation_flags, 0x30u);
  EXPECT_EQ(child.startup.cb, 68u);
  EXPECT_EQ(child.startup.dwFlags, 1u);
  EXPECT_EQ(child.startup.wShowWindow, 1u);
}

TEST(ExecuteAndWait, WaitsWithoutLimitThenClosesProcessBeforeThread) {
  FakePlatform fake;
  ExecuteAndWait(fake, kCommand, 1, true);
  const std::vector<std::string> names = fake.CallNames();
  const std::vector<std::string> tail(names.begin() + 1, names.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"WaitForSingleObject", "GetExitCodeProcess",
                                            "CloseHandle", "CloseHandle"}));
  const auto& calls = fake.calls();
  EXPECT_EQ(calls[1].flags, 0xFFFFFFFFu);  // INFINITE
  EXPECT_EQ(calls[1].handle, calls[3].handle);  // the wait and the first close: the process
  EXPECT_NE(calls[3].handle, calls[4].handle);
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(ExecuteAndWait, AChildPastItsTimeLimitIsEndedAndCountsAsNotStarted) {
  FakePlatform fake;
  fake.child_hangs = true;
  ChildStart start;
  start.time_limit = 60000;
  EXPECT_EQ(ExecuteAndWait(fake, u"x.exe", 0, true, start), -1);
  const auto& calls = fake.calls();
  const int ended = fake.IndexOf("TerminateProcess");
  ASSERT_GE(ended, 0);
  EXPECT_EQ(calls[static_cast<std::size_t>(ended)].flags, 1460u);  // ERROR_TIMEOUT
  // Waited for a minute, then for the ended child to be gone, a few seconds at most.
  std::vector<std::uint32_t> waits;
  for (const Call& call : calls)
    if (call.name == "WaitForSingleObject") waits.push_back(call.flags);
  EXPECT_EQ(waits, (std::vector<std::uint32_t>{60000, 5000}));
  EXPECT_EQ(fake.CountOf("GetExitCodeProcess"), 0);
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(ExecuteAndWait, WithoutWaitingStillClosesBothHandles) {
  FakePlatform fake;
  ExecuteAndWait(fake, kCommand, 1, false);
  EXPECT_EQ(fake.CountOf("WaitForSingleObject"), 0);
  EXPECT_EQ(fake.CountOf("CloseHandle"), 2);
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(ExecuteAndWait, MinusOneForAFailedStartAndForExitCode0xFFFFFFFF) {
  FakePlatform no_start;
  no_start.FailCall("CreateProcessW", 1, 2);
  EXPECT_EQ(ExecuteAndWait(no_start, kCommand, 1, true), -1);
  EXPECT_EQ(no_start.CountOf("CloseHandle"), 0);

  FakePlatform all_ones;
  all_ones.child_exit_code = 0xFFFFFFFFu;
  EXPECT_EQ(ExecuteAndWait(all_ones, kCommand, 1, true), -1);

  FakePlatform high_bit;
  high_bit.child_exit_code = 0xC0000005u;
  EXPECT_EQ(ExecuteAndWait(high_bit, kCommand, 1, true), static_cast<std::int32_t>(0xC0000005u));
}

TEST(ExecuteAndWait, AFailedExitCodeQueryStillClosesTheHandles) {
  FakePlatform fake;
  fake.FailCall("GetExitCodeProcess", 1, 6);
  EXPECT_EQ(ExecuteAndWait(fake, kCommand, 1, true), -1);
  EXPECT_EQ(fake.OpenHandles(), 0);
}

TEST(ExecuteAndWait, PassesCommandsOf512CharactersAndLongerWhole) {
  for (const std::size_t length : {512u, 513u, 4000u}) {
    FakePlatform fake;
    const std::u16string command = u"C:\\regsvr32.exe /s \"" +
                                   std::u16string(length - 22, u'x') + u"\"";
    ASSERT_EQ(command.size(), length - 1);
    const std::u16string exact = command + u"y";
    ExecuteAndWait(fake, exact, 1, true);
    ASSERT_EQ(fake.processes().size(), 1u);
    EXPECT_EQ(fake.processes()[0].command_line, exact) << length;
  }
}

}  // namespace
}  // namespace vannix::testing
