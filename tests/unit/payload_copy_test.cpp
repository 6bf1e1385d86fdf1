#include "installer/payload_copy.h"

#include <gtest/gtest.h>

#include "installer/failure.h"
#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

const std::u16string kTarget = u"C:\\Windows\\System32\\KorviGovX.ocx";

class PayloadCopy : public ::testing::Test {
 protected:
  PayloadCopy() { fake_.AddResource(u"32_KORVIGOVX", Bytes(200000, 7)); }
  static EntryPlan Plan() { return PlanEntry(LayoutFor(false, u"C:\\Windows\\System32\\"), kCatalogue[3]); }
  FakePlatform fake_;
};

TEST_F(PayloadCopy, AMissingPayloadTouchesNothing) {
  FakePlatform empty;
  empty.AddFile(kTarget, Bytes(500, 3));
  empty.AddFile(kTarget + u".vannix-task.xml", Bytes(5, 3));
  WindowsProtection protection(empty);
  EXPECT_THROW(CopyPayload(empty, protection, Plan()), Failure);
  EXPECT_EQ(empty.At(kTarget).bytes, Bytes(500, 3));
  EXPECT_TRUE(empty.Exists(kTarget + u".vannix-task.xml"));
  EXPECT_EQ(empty.changes(), 0);
}

TEST_F(PayloadCopy, TheTargetIsOnlyEverReplacedByACompleteFlushedCopy) {
  fake_.AddFile(kTarget, Bytes(300000, 3));  // longer than the payload
  WindowsProtection protection(fake_);
  ASSERT_EQ(CopyPayload(fake_, protection, Plan()), Placement::kInPlace);
  EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(200000, 7));
  // Created new at the staging name, flushed and closed, then renamed: the target and the
  // name a restart renames are never opened for writing.
  const int created = fake_.IndexOf("CreateFileW", kTarget + u".vannix-next");
  ASSERT_GE(created, 0);
  EXPECT_EQ(fake_.calls()[static_cast<std::size_t>(created)].disposition, platform::kCreateNew);
  EXPECT_EQ(fake_.IndexOf("CreateFileW", kTarget), -1);
  EXPECT_EQ(fake_.IndexOf("CreateFileW", kTarget + u".vannix-new"), -1);
  const int flushed = fake_.IndexOf("FlushFileBuffers", {}, created);
  ASSERT_GE(flushed, 0);
  EXPECT_LT(flushed, fake_.IndexOf("CloseHandle", {}, flushed));
  EXPECT_LT(fake_.IndexOf("CloseHandle", {}, flushed), fake_.IndexOf("MoveFileExW", kTarget));
  // The target, the three directories and Windows' own two taskschd.dll, nothing else.
  EXPECT_EQ(fake_.Paths().size(), 6u);
}

// What a stopped run can leave beside its target that the copy does not write again.
TEST_F(PayloadCopy, WhatAStoppedRunLeftBesideTheTargetGoesWhetherOrNotTheTargetIsHeld) {
  for (const bool held : {false, true}) {
    fake_ = FakePlatform();
    fake_.AddResource(u"32_KORVIGOVX", Bytes(200000, 7));
    fake_.AddFile(kTarget, Bytes(500, 3));
    for (const char16_t* leftover :
         {u".vannix-task.xml", u".vannix-task.xml.vannix-old", u".vannix-next.vannix-old",
          u".vannix-new.vannix-old"}) {
      fake_.AddFile(kTarget + leftover, Bytes(10, 1), platform::kFileAttributeReadOnly);
    }
    if (held) fake_.HoldOpen(kTarget, 0);
    WindowsProtection protection(fake_);
    EXPECT_EQ(CopyPayload(fake_, protection, Plan()), held ? Placement::kHeld : Placement::kInPlace);
    std::vector<std::u16string> beside;
    for (const std::u16string& path : fake_.Paths())
      if (path.starts_with(kTarget + u".")) beside.push_back(path);
    EXPECT_EQ(beside, held ? std::vector<std::u16string>{kTarget + u".vannix-next"}
                           : std::vector<std::u16string>{})
        << held;
  }
}

}  // namespace
}  // namespace vannix::testing
