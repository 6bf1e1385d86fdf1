#include "installer/payload_copy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "installer/failure.h"
#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

const std::u16string kTarget = u"C:\\Windows\\System32\\KorviX.dll";
const std::u16string kResource = u"32_KorviX";
const std::u16string kSessionManager = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";

class PayloadCopy : public ::testing::Test {
 protected:
  void Store(std::size_t size) {
    payload_ = Bytes(size, 7);
    fake_.AddResource(u"32_KORVIX", payload_);
  }
  // True when the target is replaced or its replacement scheduled.
  bool Copy() { return Outcome() != std::nullopt; }
  std::optional<Replacement> Outcome() {
    WindowsProtection protection(fake_, u"C:\\Windows\\System32\\");
    try {
      return CopyPayload(fake_, fake_, protection, kResource, kTarget);
    } catch (const Failure&) {
      return std::nullopt;
    }
  }
  // The resource is released before the file is closed, and nothing stays open.
  void ExpectReleasedInOrder() {
    const int free_resource = fake_.IndexOf("FreeResource");
    const int close_file = fake_.IndexOf("CloseHandle");
    const int load = fake_.IndexOf("LoadResource");
    if (load >= 0 && fake_.calls()[static_cast<std::size_t>(load)].handle != 0) {
      ASSERT_GE(free_resource, 0);
      EXPECT_LT(free_resource, close_file);
    }
    EXPECT_EQ(fake_.OpenHandles(), 0);
  }

  FakePlatform fake_;
  std::vector<std::byte> payload_;
};

TEST_F(PayloadCopy, WritesExactlyThePayloadInChunksOfAtMost61440Bytes) {
  for (const std::size_t size : {0u, 1u, 61440u, 61441u, 16869888u}) {
    fake_ = FakePlatform();
    Store(size);
    ASSERT_TRUE(Copy()) << size;
    EXPECT_EQ(fake_.At(kTarget).bytes, payload_) << size;
    EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget)));
    const std::size_t expected_writes = (size + kCopyChunk - 1) / kCopyChunk;
    EXPECT_EQ(fake_.write_requests.size(), expected_writes) << size;
    for (const auto request : fake_.write_requests) EXPECT_LE(request, kCopyChunk);
    ExpectReleasedInOrder();
  }
}

TEST_F(PayloadCopy, ShortWritesGoOnWithTheRestOfTheChunk) {
  Store(70000);
  fake_.write_limit = 1000;
  ASSERT_TRUE(Copy());
  EXPECT_EQ(fake_.At(kTarget).bytes, payload_);
  EXPECT_EQ(fake_.write_requests.front(), kCopyChunk);
  EXPECT_EQ(fake_.write_requests[1], kCopyChunk - 1000);
}

TEST_F(PayloadCopy, OneFailedWriteIsMadeOnceMore) {
  Store(100000);
  fake_.FailCall("WriteFile", 2, platform::kErrorDiskFull);
  ASSERT_TRUE(Copy());
  EXPECT_EQ(fake_.At(kTarget).bytes, payload_);
  EXPECT_EQ(fake_.write_requests, (std::vector<std::uint32_t>{61440, 38560, 38560}));
}

TEST_F(PayloadCopy, AFailedWriteThatWroteSomeBytesIsContinuedAfterThem) {
  Store(100000);
  fake_.LimitWrite(1, 1000);
  fake_.FailCall("WriteFile", 1, platform::kErrorDiskFull);  // failed, yet 1000 bytes are in
  ASSERT_TRUE(Copy());
  EXPECT_EQ(fake_.At(kTarget).bytes, payload_);
  EXPECT_EQ(fake_.write_requests[1], kCopyChunk - 1000);
}

TEST_F(PayloadCopy, EachFailedWriteGetsItsOwnSecondAttempt) {
  Store(200000);
  fake_.FailCall("WriteFile", 1, platform::kErrorDiskFull);
  fake_.FailCall("WriteFile", 3, platform::kErrorDiskFull);
  ASSERT_TRUE(Copy());
  EXPECT_EQ(fake_.At(kTarget).bytes, payload_);
}

TEST_F(PayloadCopy, TwoFailuresInARowEndTheCopyAndKeepTheOldTarget) {
  Store(200000);
  const auto old_bytes = Bytes(500, 3);
  fake_.AddFile(kTarget, old_bytes);
  fake_.FailCall("WriteFile", 2, platform::kErrorDiskFull);
  fake_.FailCall("WriteFile", 3, platform::kErrorDiskFull);
  EXPECT_FALSE(Copy());
  EXPECT_EQ(fake_.At(kTarget).bytes, old_bytes);
  EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget)));
  EXPECT_EQ(fake_.CountOf("WriteFile"), 3);
  EXPECT_EQ(fake_.CountOf("MoveFileExW"), 0);
  ExpectReleasedInOrder();
}

TEST_F(PayloadCopy, AMissingPayloadTouchesNothing) {
  const auto old_bytes = Bytes(500, 3);
  fake_.AddFile(kTarget, old_bytes);
  EXPECT_FALSE(Copy());
  EXPECT_EQ(fake_.At(kTarget).bytes, old_bytes);
  EXPECT_EQ(fake_.CountOf("CreateFileW"), 0);
  EXPECT_EQ(fake_.OpenHandles(), 0);
}

TEST_F(PayloadCopy, AHeldTargetIsTriedAgainForAboutTwoSecondsThenReplacedAtTheNextRestart) {
  Store(5000);
  const auto old_bytes = Bytes(500, 3);
  fake_.AddFile(kTarget, old_bytes);
  fake_.HoldOpen(kTarget, platform::kFileShareRead);
  EXPECT_EQ(Outcome(), Replacement::kAtRestart);
  // Waits that grow, about two seconds in all, then one rename scheduled; nothing else waits.
  EXPECT_EQ(fake_.sleeps, std::vector<std::uint32_t>(kHeldRetryWaits.begin(), kHeldRetryWaits.end()));
  std::uint32_t total = 0;
  for (std::size_t i = 0; i < fake_.sleeps.size(); ++i) {
    total += fake_.sleeps[i];
    if (i > 0) {
      EXPECT_GE(fake_.sleeps[i], fake_.sleeps[i - 1]);
    }
  }
  EXPECT_GE(total, 1500u);
  EXPECT_LE(total, 2500u);
  EXPECT_EQ(fake_.CountOf("MoveFileExW"), 1 + static_cast<int>(kHeldRetryWaits.size()) + 1);
  // The target is as it was, the complete temporary file kept as its replacement.
  EXPECT_EQ(fake_.At(kTarget).bytes, old_bytes);
  EXPECT_EQ(fake_.At(TemporaryPathFor(kTarget)).bytes, payload_);
  EXPECT_EQ(*fake_.RegistryStringsOf(kSessionManager, u"PendingFileRenameOperations"),
            (std::vector<std::u16string>{u"\\??\\" + TemporaryPathFor(kTarget),
                                         u"!\\??\\" + kTarget}));
  ExpectReleasedInOrder();

  fake_.Restart();
  EXPECT_EQ(fake_.At(kTarget).bytes, payload_);
  EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget)));
}

TEST_F(PayloadCopy, AHolderThatLetsGoDuringTheWaitsIsOutwaited) {
  Store(5000);
  fake_.AddFile(kTarget, Bytes(500, 3));
  fake_.FailCall("MoveFileExW", 1, platform::kErrorSharingViolation);
  fake_.FailCall("MoveFileExW", 2, platform::kErrorAccessDenied);
  EXPECT_EQ(Outcome(), Replacement::kDone);
  EXPECT_EQ(fake_.sleeps, (std::vector<std::uint32_t>{kHeldRetryWaits[0], kHeldRetryWaits[1]}));
  EXPECT_EQ(fake_.At(kTarget).bytes, payload_);
  EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget)));
  EXPECT_EQ(fake_.CountOf("RegOpenKeyExW"), 0);  // nothing scheduled, the registry untouched
}

TEST_F(PayloadCopy, NothingHeldNothingWaitedForNorAskedOfWindows) {
  Store(70000);
  fake_.AddFile(kTarget, Bytes(500, 3));
  EXPECT_EQ(Outcome(), Replacement::kDone);
  EXPECT_TRUE(fake_.sleeps.empty());
  EXPECT_EQ(fake_.CountOf("LoadLibraryW"), 0);  // sfc.dll stays unloaded
  EXPECT_EQ(fake_.CountOf("RegOpenKeyExW") + fake_.CountOf("RegCreateKeyExW"), 0);
}

TEST_F(PayloadCopy, NeverWaitedForNorScheduledOverAReadOnlyOrWindowsOwnTargetOrOnOtherErrors) {
  struct Case {
    const char* what;
    std::uint32_t attributes;
    bool protected_by_windows;
    std::uint32_t error;
  };
  for (const Case c : {Case{"read-only", platform::kFileAttributeReadOnly, false, 0},
                       Case{"Windows' own", platform::kFileAttributeNormal, true, 0},
                       Case{"other error", platform::kFileAttributeNormal, false, 17}}) {
    fake_ = FakePlatform();
    Store(5000);
    fake_.AddFile(kTarget, Bytes(10, 3), c.attributes);
    if (c.protected_by_windows) fake_.protected_files = {kTarget};
    if (c.error != 0) fake_.FailCall("MoveFileExW", 0, c.error);
    else fake_.HoldOpen(kTarget, platform::kFileShareRead);
    EXPECT_FALSE(Copy()) << c.what;
    EXPECT_TRUE(fake_.sleeps.empty()) << c.what;
    EXPECT_EQ(fake_.CountOf("MoveFileExW"), 1) << c.what;
    EXPECT_FALSE(fake_.RegistryStringsOf(kSessionManager, u"PendingFileRenameOperations")) << c.what;
    EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(10, 3)) << c.what;
    EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget))) << c.what;
    ExpectReleasedInOrder();
  }
}

TEST_F(PayloadCopy, ALaterRunReplacesAFreedTargetAtOnceAndNeverSchedulesTwice) {
  Store(5000);
  fake_.AddFile(kTarget, Bytes(500, 3));
  fake_.HoldOpen(kTarget, 0);
  ASSERT_EQ(Outcome(), Replacement::kAtRestart);
  fake_.AddFile(TemporaryPathFor(kTarget), Bytes(20, 9));  // damaged meanwhile: rewritten
  ASSERT_EQ(Outcome(), Replacement::kAtRestart);             // still held
  EXPECT_EQ(fake_.At(TemporaryPathFor(kTarget)).bytes, payload_);
  EXPECT_EQ(fake_.RegistryStringsOf(kSessionManager, u"PendingFileRenameOperations")->size(), 2u);

  // The holder has let go before a third run (no restart in between).
  fake_ = FakePlatform();
  Store(5000);
  fake_.AddFile(kTarget, Bytes(500, 3));
  fake_.SetRegistryStrings(kSessionManager, u"PendingFileRenameOperations",
                           {u"\\??\\" + TemporaryPathFor(kTarget), u"!\\??\\" + kTarget});
  ASSERT_EQ(Outcome(), Replacement::kDone);
  EXPECT_EQ(fake_.At(kTarget).bytes, payload_);
  EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget)));
  // The stale rename finds no source at the restart and is skipped; the file stays.
  fake_.Restart();
  EXPECT_EQ(fake_.At(kTarget).bytes, payload_);
}

TEST_F(PayloadCopy, ATemporaryFileAScannerHoldsIsRemovedOnceItLetsGo) {
  Store(5000);
  fake_.AddFile(kTarget, Bytes(10, 3));
  fake_.FailCall("MoveFileExW", 1, 17);  // not held: the copy fails
  fake_.FailCall("DeleteFileW", 1, platform::kErrorSharingViolation);
  EXPECT_FALSE(Copy());
  EXPECT_EQ(fake_.sleeps, std::vector<std::uint32_t>{kHeldRetryWaits[0]});
  EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget)));
}

TEST_F(PayloadCopy, ALongerExistingTargetEndsWithExactlyThePayload) {
  Store(3000);
  fake_.AddFile(kTarget, Bytes(90000, 3));
  ASSERT_TRUE(Copy());
  EXPECT_EQ(fake_.At(kTarget).bytes, payload_);
}

TEST_F(PayloadCopy, ReleasesInReverseOrderOnEveryFailurePath) {
  struct Case {
    const char* call;
    int occurrence;
  };
  for (const Case c : {Case{"CreateFileW", 1}, Case{"LoadResource", 1}, Case{"LockResource", 1},
                       Case{"ReadProcessMemory", 2}, Case{"FlushFileBuffers", 1},
                       Case{"MoveFileExW", 0}}) {
    fake_ = FakePlatform();
    Store(70000);
    fake_.AddFile(kTarget, Bytes(10, 3));
    fake_.FailCall(c.call, c.occurrence, platform::kErrorAccessDenied);
    EXPECT_FALSE(Copy()) << c.call;
    EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(10, 3)) << c.call;
    EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget))) << c.call;
    ExpectReleasedInOrder();
  }
}

TEST_F(PayloadCopy, ReleasesWhenAPlatformCallThrows) {
  Store(70000);
  fake_.ThrowFromCall("WriteFile", 2);
  EXPECT_ANY_THROW(Outcome());
  EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget)));
  ExpectReleasedInOrder();
}

TEST_F(PayloadCopy, TheTargetIsReplacedOnlyAfterTheTemporaryFileIsClosed) {
  Store(10);
  ASSERT_TRUE(Copy());
  const int create = fake_.IndexOf("CreateFileW", TemporaryPathFor(kTarget));
  ASSERT_GE(create, 0);
  EXPECT_EQ(fake_.IndexOf("CreateFileW", kTarget), -1);  // the target is never opened
  EXPECT_GT(fake_.IndexOf("MoveFileExW", kTarget), fake_.IndexOf("CloseHandle"));
  EXPECT_EQ(TemporaryPathFor(kTarget), u"C:\\Windows\\System32\\KorviX.dll.vannix-new");
}

TEST_F(PayloadCopy, AWriteThatWritesNothingIsAFailedAttempt) {
  Store(100000);
  fake_.LimitWrite(2, 0);  // success reported, nothing written: made once more, then it goes on
  ASSERT_TRUE(Copy());
  EXPECT_EQ(fake_.At(kTarget).bytes, payload_);

  fake_ = FakePlatform();
  Store(100000);
  fake_.AddFile(kTarget, Bytes(10, 3));
  fake_.write_limit = 0;  // a disk that never takes a byte: the copy ends instead of spinning
  EXPECT_FALSE(Copy());
  EXPECT_EQ(fake_.CountOf("WriteFile"), 2);
  EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(10, 3));
  EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget)));
}

TEST_F(PayloadCopy, TheDataIsFlushedBeforeTheFileIsClosedAndReplacesTheTarget) {
  Store(100000);
  ASSERT_TRUE(Copy());
  const std::vector<std::string> names = fake_.CallNames();
  const int last_write = static_cast<int>(names.rend() - std::find(names.rbegin(), names.rend(), "WriteFile")) - 1;
  const int flush = fake_.IndexOf("FlushFileBuffers");
  ASSERT_GE(flush, 0);
  EXPECT_EQ(fake_.calls()[static_cast<std::size_t>(flush)].handle,
            fake_.calls()[static_cast<std::size_t>(fake_.IndexOf("CreateFileW"))].handle);
  EXPECT_GT(flush, last_write);
  EXPECT_LT(flush, fake_.IndexOf("CloseHandle"));
  EXPECT_LT(fake_.IndexOf("CloseHandle"), fake_.IndexOf("MoveFileExW"));
}

TEST_F(PayloadCopy, AnImageThatCanNoLongerBeReadFailsTheCopyCleanly) {
  Store(200000);
  const auto old_bytes = Bytes(500, 3);
  fake_.AddFile(kTarget, old_bytes);
  fake_.LoseImageFrom(u"32_KORVIX", 70000);  // the second chunk lies past the loss
  EXPECT_FALSE(Copy());
  EXPECT_EQ(fake_.CountOf("ReadProcessMemory"), 2);
  EXPECT_EQ(fake_.CountOf("WriteFile"), 1);
  EXPECT_EQ(fake_.At(kTarget).bytes, old_bytes);
  EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget)));
  ExpectReleasedInOrder();
}

TEST_F(PayloadCopy, ALeftoverTemporaryFileNeverBlocksTheCopy) {
  const std::u16string temporary = TemporaryPathFor(kTarget);
  for (const std::uint32_t attributes :
       {platform::kFileAttributeNormal, platform::kFileAttributeReadOnly,
        platform::kFileAttributeHidden | platform::kFileAttributeSystem}) {
    fake_ = FakePlatform();
    Store(5000);
    fake_.AddFile(temporary, Bytes(90000, 4), attributes);
    ASSERT_TRUE(Copy()) << attributes;
    EXPECT_EQ(fake_.At(kTarget).bytes, payload_);
    EXPECT_EQ(fake_.At(kTarget).attributes, platform::kFileAttributeNormal);
    EXPECT_FALSE(fake_.Exists(temporary));
    EXPECT_FALSE(fake_.Exists(StagingPathFor(kTarget)));
  }
}

TEST_F(PayloadCopy, AnEarlierTemporaryFileIsReplacedWholeNeverRewrittenInPlace) {
  // It may be what a restart renames onto the target: a copy that fails midway must leave it
  // whole, and nothing of its own behind.
  const std::u16string temporary = TemporaryPathFor(kTarget);
  Store(3 * kCopyChunk);
  fake_.AddFile(kTarget, Bytes(10, 3));
  fake_.AddFile(temporary, Bytes(2000, 4));
  fake_.FailCall("WriteFile", 2, 112);
  fake_.FailCall("WriteFile", 3, 112);
  EXPECT_FALSE(Copy());
  EXPECT_EQ(fake_.At(temporary).bytes, Bytes(2000, 4));
  EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(10, 3));
  EXPECT_FALSE(fake_.Exists(StagingPathFor(kTarget)));
  EXPECT_EQ(fake_.IndexOf("CreateFileW", temporary), -1);
}

TEST_F(PayloadCopy, ALinkAtTheTemporaryNameIsRemovedNotWrittenThrough) {
  Store(5000);
  const std::u16string elsewhere = u"C:\\Users\\admin\\precious.dat";
  fake_.AddFile(elsewhere, Bytes(700, 5));
  fake_.AddLink(TemporaryPathFor(kTarget), elsewhere);
  ASSERT_TRUE(Copy());
  EXPECT_EQ(fake_.At(elsewhere).bytes, Bytes(700, 5));
  EXPECT_EQ(fake_.At(kTarget).bytes, payload_);
  EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget)));
}

TEST_F(PayloadCopy, ATemporaryFileHeldByAnotherInstallerIsLeftToIt) {
  Store(5000);
  fake_.AddFile(TemporaryPathFor(kTarget), Bytes(300, 6));
  fake_.HoldOpen(TemporaryPathFor(kTarget), 0);  // the other copy is writing it
  EXPECT_FALSE(Copy());
  EXPECT_EQ(fake_.IndexOf("DeleteFileW", TemporaryPathFor(kTarget)), -1);
  EXPECT_FALSE(fake_.Exists(StagingPathFor(kTarget)));  // this run's own copy is gone
  EXPECT_EQ(fake_.At(TemporaryPathFor(kTarget)).bytes, Bytes(300, 6));
  EXPECT_FALSE(fake_.Exists(kTarget));
}

TEST_F(PayloadCopy, AReadOnlyTargetStaysAsItWas) {
  Store(5000);
  fake_.AddFile(kTarget, Bytes(10, 3), platform::kFileAttributeReadOnly);
  EXPECT_FALSE(Copy());
  EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(10, 3));
  EXPECT_FALSE(fake_.Exists(TemporaryPathFor(kTarget)));
  ExpectReleasedInOrder();
}

}  // namespace
}  // namespace vannix::testing
