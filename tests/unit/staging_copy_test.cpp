#include "installer/staging_copy.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "installer/failure.h"
#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

const std::u16string kStaging = u"C:\\Windows\\System32\\KorviX.dll.vannix-next";

class StagingCopy : public ::testing::Test {
 protected:
  void Store(std::size_t size) {
    payload_ = Bytes(size, 7);
    fake_ = FakePlatform();
    fake_.AddResource(u"32_KORVIX", payload_);
  }
  // True when the copy completed.
  bool Copy() {
    const auto module = fake_.GetModuleHandleW();
    const auto resource = fake_.FindResourceW(module, u"32_KorviX", platform::kRtRcdata);
    try {
      WriteStagingCopy(fake_, module, resource, kStaging);
      return true;
    } catch (const Failure&) {
      return false;
    }
  }
  // The resource is released before the file is closed, and nothing stays open.
  void ExpectReleasedInOrder() {
    const int load = fake_.IndexOf("LoadResource");
    if (load >= 0 && fake_.calls()[static_cast<std::size_t>(load)].handle != 0) {
      ASSERT_GE(fake_.IndexOf("FreeResource"), 0);
      EXPECT_LT(fake_.IndexOf("FreeResource"), fake_.IndexOf("CloseHandle"));
    }
    EXPECT_EQ(fake_.OpenHandles(), 0);
  }

  FakePlatform fake_;
  std::vector<std::byte> payload_;
};

TEST_F(StagingCopy, WritesThePayloadWholeInChunksOfAtMost61440Bytes) {
  struct Case {
    std::size_t size;
    std::vector<std::uint32_t> first_writes;
    std::size_t writes;
  };
  for (const Case& c : {Case{0, {}, 0}, Case{1, {1}, 1}, Case{61440, {61440}, 1},
                        Case{61441, {61440, 1}, 2}, Case{16869888, {61440, 61440}, 275}}) {
    Store(c.size);
    ASSERT_TRUE(Copy()) << c.size;
    EXPECT_EQ(fake_.At(kStaging).bytes, payload_) << c.size;
    ASSERT_EQ(fake_.write_requests.size(), c.writes) << c.size;
    EXPECT_TRUE(std::equal(c.first_writes.begin(), c.first_writes.end(),
                           fake_.write_requests.begin())) << c.size;
    for (const std::uint32_t request : fake_.write_requests) EXPECT_LE(request, 61440u);
    ExpectReleasedInOrder();
  }
}

TEST_F(StagingCopy, ShortAndFailedWritesGoOnWhereTheyStopped) {
  Store(100000);
  fake_.write_limit = 1000;  // every call writes a little: the rest of the chunk follows
  ASSERT_TRUE(Copy());
  EXPECT_EQ(fake_.At(kStaging).bytes, payload_);
  EXPECT_EQ(fake_.write_requests[1], 60440u);

  // A failed call that wrote some bytes is continued after them; one failure is made again.
  Store(100000);
  fake_.LimitWrite(1, 1000);
  fake_.FailCall("WriteFile", 1, platform::kErrorDiskFull);
  fake_.FailCall("WriteFile", 3, platform::kErrorDiskFull);
  ASSERT_TRUE(Copy());
  EXPECT_EQ(fake_.At(kStaging).bytes, payload_);
  EXPECT_EQ(fake_.write_requests, (std::vector<std::uint32_t>{61440, 60440, 38560, 38560}));
}

TEST_F(StagingCopy, TwoFailedAttemptsInARowEndTheCopyAGoodWriteBetweenThemDoesNot) {
  // Failed, then some bytes written, then failed again within one chunk: the write between
  // them counts, so the copy goes on.
  Store(61440);
  fake_.FailCall("WriteFile", 1, platform::kErrorDiskFull);
  fake_.LimitWrite(2, 1000);
  fake_.FailCall("WriteFile", 3, platform::kErrorDiskFull);
  ASSERT_TRUE(Copy());
  EXPECT_EQ(fake_.At(kStaging).bytes, payload_);

  Store(200000);
  fake_.FailCall("WriteFile", 2, platform::kErrorDiskFull);
  fake_.FailCall("WriteFile", 3, platform::kErrorDiskFull);
  EXPECT_FALSE(Copy());
  EXPECT_EQ(fake_.CountOf("WriteFile"), 3);
  EXPECT_FALSE(fake_.Exists(kStaging));
  ExpectReleasedInOrder();

  Store(100000);
  fake_.write_limit = 0;  // a disk that reports success and never takes a byte
  EXPECT_FALSE(Copy());
  EXPECT_EQ(fake_.CountOf("WriteFile"), 2);
  EXPECT_FALSE(fake_.Exists(kStaging));
}

TEST_F(StagingCopy, TheDataIsFlushedBeforeTheFileIsClosed) {
  Store(100000);
  ASSERT_TRUE(Copy());
  const std::vector<std::string> names = fake_.CallNames();
  const auto last_write = std::find(names.rbegin(), names.rend(), "WriteFile");
  const int flush = fake_.IndexOf("FlushFileBuffers");
  ASSERT_GE(flush, 0);
  EXPECT_EQ(fake_.calls()[static_cast<std::size_t>(flush)].handle,
            fake_.calls()[static_cast<std::size_t>(fake_.IndexOf("CreateFileW", kStaging))].handle);
  EXPECT_GT(flush, static_cast<int>(names.rend() - last_write) - 1);
  EXPECT_LT(flush, fake_.IndexOf("CloseHandle"));
}

TEST_F(StagingCopy, ALeftoverAtTheStagingNameNeverBlocksTheCopyNorIsWrittenThrough) {
  for (const std::uint32_t attributes :
       {platform::kFileAttributeReadOnly, platform::kFileAttributeHidden | platform::kFileAttributeSystem}) {
    Store(5000);
    fake_.AddFile(kStaging, Bytes(90000, 4), attributes);
    ASSERT_TRUE(Copy()) << attributes;
    EXPECT_EQ(fake_.At(kStaging).bytes, payload_);
    EXPECT_EQ(fake_.At(kStaging).attributes, platform::kFileAttributeNormal);
  }
  // A link or a junction there is removed itself; what it points at stays as it is.
  for (const bool directory : {false, true}) {
    Store(5000);
    const std::u16string elsewhere = u"C:\\Users\\admin\\precious";
    if (directory) fake_.AddDirectory(elsewhere);
    else fake_.AddFile(elsewhere, Bytes(700, 5));
    fake_.AddLink(kStaging, elsewhere, directory);
    ASSERT_TRUE(Copy()) << directory;
    EXPECT_EQ(fake_.At(elsewhere).bytes, directory ? Bytes(0) : Bytes(700, 5));
    EXPECT_EQ(fake_.At(kStaging).bytes, payload_);
    EXPECT_FALSE(fake_.At(kStaging).link_target);
    EXPECT_FALSE(fake_.Exists(kStaging + u".vannix-old"));
  }
}

TEST_F(StagingCopy, AFileAnotherInstallerIsWritingThereIsLeftToIt) {
  Store(5000);
  fake_.AddFile(kStaging, Bytes(300, 6));
  fake_.HoldOpen(kStaging, 0);
  EXPECT_FALSE(Copy());
  EXPECT_EQ(fake_.At(kStaging).bytes, Bytes(300, 6));
}

TEST_F(StagingCopy, EveryFailureReleasesInReverseOrderAndLeavesNothingOfItsOwn) {
  for (const char* call : {"CreateFileW", "LoadResource", "LockResource", "ReadProcessMemory",
                           "FlushFileBuffers"}) {
    Store(70000);
    fake_.FailCall(call, std::string(call) == "ReadProcessMemory" ? 2 : 1,
                   platform::kErrorAccessDenied);
    EXPECT_FALSE(Copy()) << call;
    EXPECT_FALSE(fake_.Exists(kStaging)) << call;
    ExpectReleasedInOrder();
  }
  Store(70000);
  fake_.ThrowFromCall("WriteFile", 2);
  EXPECT_ANY_THROW(Copy());
  EXPECT_FALSE(fake_.Exists(kStaging));
  ExpectReleasedInOrder();
}

TEST_F(StagingCopy, AnImageThatCanNoLongerBeReadFailsTheCopyCleanly) {
  Store(200000);
  fake_.LoseImageFrom(u"32_KORVIX", 70000);  // the second chunk lies past the loss
  EXPECT_FALSE(Copy());
  EXPECT_EQ(fake_.CountOf("ReadProcessMemory"), 2);
  EXPECT_EQ(fake_.CountOf("WriteFile"), 1);
  EXPECT_FALSE(fake_.Exists(kStaging));
}

}  // namespace
}  // namespace vannix::testing
