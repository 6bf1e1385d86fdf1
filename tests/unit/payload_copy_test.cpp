#include "installer/payload_copy.h"

#include <gtest/gtest.h>

#include <optional>

#include "installer/failure.h"
#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

const std::u16string kTarget = u"C:\\Windows\\System32\\KorviGovX.ocx";
const std::u16string kStaging = kTarget + u".vannix-next";
const std::u16string kWaiting = kTarget + u".vannix-new";
const std::u16string kSessionManager = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";

class PayloadCopy : public ::testing::Test {
 protected:
  PayloadCopy() { fake_.AddResource(u"32_KORVIGOVX", Bytes(200000, 7)); }
  std::optional<Replacement> Copy() {
    WindowsProtection protection(fake_, u"C:\\Windows\\System32\\");
    try {
      return CopyPayload(fake_, protection, u"32_KorviGovX", kTarget);
    } catch (const Failure&) {
      return std::nullopt;
    }
  }
  // What an earlier run left: a copy waiting for the restart, which Windows' list names.
  void Waiting(std::vector<std::byte> bytes) {
    fake_.AddFile(kWaiting, std::move(bytes));
    fake_.SetRegistryStrings(kSessionManager, u"PendingFileRenameOperations",
                             {u"\\??\\" + kWaiting, u"!\\??\\" + kTarget});
  }
  FakePlatform fake_;
};

TEST_F(PayloadCopy, AMissingPayloadTouchesNothing) {
  FakePlatform empty;
  empty.AddFile(kTarget, Bytes(500, 3));
  WindowsProtection protection(empty, u"C:\\Windows\\System32\\");
  EXPECT_THROW(CopyPayload(empty, protection, u"32_KorviGovX", kTarget), Failure);
  EXPECT_EQ(empty.At(kTarget).bytes, Bytes(500, 3));
  EXPECT_EQ(empty.CountOf("CreateFileW") + empty.CountOf("MoveFileExW"), 0);
}

TEST_F(PayloadCopy, TheTargetIsOnlyEverReplacedByACompleteFlushedCopy) {
  fake_.AddFile(kTarget, Bytes(300000, 3));  // longer than the payload
  ASSERT_EQ(Copy(), Replacement::kDone);
  EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(200000, 7));
  // Written at the staging name, flushed and closed, then renamed: the target and the name a
  // restart renames are never opened for writing.
  EXPECT_EQ(fake_.IndexOf("CreateFileW", kTarget), -1);
  EXPECT_EQ(fake_.IndexOf("CreateFileW", kWaiting), -1);
  EXPECT_LT(fake_.IndexOf("FlushFileBuffers"), fake_.IndexOf("CloseHandle"));
  EXPECT_LT(fake_.IndexOf("CloseHandle"), fake_.IndexOf("MoveFileExW", kTarget));
  EXPECT_EQ(fake_.Paths().size(), 4u);  // the target and the three directories, nothing else
}

// An earlier run's copy goes before this run writes anything, whatever becomes of this run: it
// may be an older release's partial file, and the restart renames whatever the list names.
TEST_F(PayloadCopy, AnEarlierRunsWaitingCopyNeverOutlivesTheNextRun) {
  fake_.AddFile(kTarget, Bytes(500, 3));
  Waiting(Bytes(1000, 9));  // partial
  fake_.FailCall("WriteFile", 0, platform::kErrorDiskFull);
  EXPECT_EQ(Copy(), std::nullopt);
  EXPECT_FALSE(fake_.Exists(kWaiting));
  fake_.Restart();
  EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(500, 3));

  // Free now: replaced at once, reported so that what the earlier run scheduled goes too.
  fake_ = FakePlatform();
  fake_.AddResource(u"32_KORVIGOVX", Bytes(200000, 7));
  fake_.AddFile(kTarget, Bytes(500, 3));
  Waiting(Bytes(200000, 5));
  fake_.SetFileAttributesW(kWaiting, platform::kFileAttributeReadOnly);
  EXPECT_EQ(Copy(), Replacement::kDoneOverAnEarlierRun);
  EXPECT_FALSE(fake_.Exists(kWaiting));
  fake_.Restart();
  EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(200000, 7));
}

// A run held, a run that replaces the target at once (the first run's rename stays in
// Windows' list), a run killed while it writes, then the restart: the target stays whole.
TEST_F(PayloadCopy, ARunKilledMidCopyLeavesNothingForTheRestartToRename) {
  fake_.AddFile(kTarget, Bytes(500, 3));
  fake_.HoldOpen(kTarget, 0);
  ASSERT_EQ(Copy(), Replacement::kHeld);
  ASSERT_TRUE(ScheduleReplacement(fake_, fake_, kTarget));
  fake_.LetGo(kTarget);
  ASSERT_EQ(Copy(), Replacement::kDoneOverAnEarlierRun);
  EXPECT_FALSE(fake_.Exists(kWaiting));
  // The third run dies after the first chunk: its partial copy stays at the staging name.
  fake_.ThrowFromCall("WriteFile", fake_.CountOf("WriteFile") + 2);
  fake_.FailCall("DeleteFileW", 0, platform::kErrorAccessDenied);  // no clean-up: it died
  EXPECT_ANY_THROW(Copy());
  ASSERT_TRUE(fake_.Exists(kStaging));
  EXPECT_EQ(fake_.At(kStaging).bytes.size(), 61440u);
  fake_.Restart();
  EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(200000, 7));
}

}  // namespace
}  // namespace vannix::testing
