#include "installer/target_replacement.h"

#include <gtest/gtest.h>

#include <numeric>
#include <optional>

#include "installer/failure.h"
#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

const std::u16string kTarget = u"C:\\Windows\\System32\\KorviX.dll";
const std::u16string kStaging = kTarget + u".vannix-next";
const std::u16string kWaiting = kTarget + u".vannix-new";
const std::u16string kSessionManager = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
// The waits before each further attempt: about two seconds in all, growing.
const std::vector<std::uint32_t> kWaits{50, 100, 200, 400, 600, 650};

class PutInPlaceTest : public ::testing::Test {
 protected:
  PutInPlaceTest() { Reset(); }
  void Reset() {
    fake_ = FakePlatform();
    fake_.AddFile(kStaging, Bytes(5000, 7));
  }
  void Earlier(std::vector<std::byte> old_bytes = Bytes(500, 3)) { fake_.AddFile(kTarget, old_bytes); }
  std::optional<Placement> Put() {
    WindowsProtection protection(fake_);
    try {
      return PutInPlace(fake_, protection, kStaging, kTarget);
    } catch (const Failure&) {
      return std::nullopt;
    }
  }
  std::optional<std::vector<std::u16string>> Pending() const {
    return fake_.RegistryStringsOf(kSessionManager, u"PendingFileRenameOperations");
  }
  std::vector<std::uint32_t> MoveFlags() const {
    std::vector<std::uint32_t> flags;
    for (const Call& call : fake_.calls())
      if (call.name == "MoveFileExW") flags.push_back(call.flags);
    return flags;
  }

  FakePlatform fake_;
};

TEST_F(PutInPlaceTest, NothingHeldIsReplacedAtOnceWrittenThroughWithoutWaitsOrQuestions) {
  Earlier();
  EXPECT_EQ(Put(), Placement::kInPlace);
  EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(5000, 7));
  EXPECT_FALSE(fake_.Exists(kStaging));
  EXPECT_FALSE(fake_.Exists(kWaiting));
  // MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH: the rename is on the disk on return.
  EXPECT_EQ(MoveFlags(), std::vector<std::uint32_t>{0x9});
  EXPECT_TRUE(fake_.sleeps.empty());
  EXPECT_EQ(fake_.CountOf("LoadLibraryW"), 0);  // sfc.dll stays unloaded
  EXPECT_EQ(fake_.CountOf("RegOpenKeyExW") + fake_.CountOf("CreateFileW"), 0);
}

TEST_F(PutInPlaceTest, AHeldTargetIsWaitedForAboutTwoSecondsThenLeftHeldWithItsCopyKept) {
  for (const bool loaded : {false, true}) {
    Reset();
    Earlier();
    if (loaded) fake_.LoadAsImage(kTarget);  // a program uses the DLL
    else fake_.HoldOpen(kTarget, platform::kFileShareRead);
    EXPECT_EQ(Put(), Placement::kHeld) << loaded;
    EXPECT_EQ(fake_.sleeps, kWaits);
    const std::uint32_t total = std::accumulate(fake_.sleeps.begin(), fake_.sleeps.end(), 0u);
    EXPECT_GE(total, 1500u);
    EXPECT_LE(total, 2500u);
    // The complete copy stays where it was written, for the restart's route to take.
    EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(500, 3));
    EXPECT_EQ(fake_.At(kStaging).bytes, Bytes(5000, 7));
    EXPECT_FALSE(fake_.Exists(kWaiting));
    EXPECT_FALSE(Pending());
    EXPECT_EQ(MoveFlags(), std::vector<std::uint32_t>(7, 0x9u));
    EXPECT_EQ(fake_.OpenHandles(), 0);
  }
}

TEST_F(PutInPlaceTest, ATargetThatMayNotBeReplacedIsNeverWaitedFor) {
  struct Case {
    const char* what;
    std::function<void(FakePlatform&)> arrange;
  };
  const std::vector<Case> cases{
      {"read-only", [](FakePlatform& f) { f.AddFile(kTarget, Bytes(10, 3), platform::kFileAttributeReadOnly); }},
      {"Windows' own", [](FakePlatform& f) { f.protected_files = {kTarget}; f.HoldOpen(kTarget, 1); }},
      // Its security denies deletion: the restart's rename could not do it either.
      {"deletion denied", [](FakePlatform& f) { f.DenyAccess(kTarget, platform::kDelete); }},
      {"deletion denied, loaded", [](FakePlatform& f) {
         f.DenyAccess(kTarget, platform::kDelete);
         f.LoadAsImage(kTarget);
       }},
      {"writing denied, replacing failing", [](FakePlatform& f) {
         f.DenyAccess(kTarget, platform::kFileWriteData);
         f.FailCall("MoveFileExW", 1, platform::kErrorAccessDenied);
       }},
      {"another error", [](FakePlatform& f) { f.FailCall("MoveFileExW", 0, 17); }},
  };
  for (const Case& c : cases) {
    Reset();
    Earlier(Bytes(10, 3));
    c.arrange(fake_);
    EXPECT_EQ(Put(), std::nullopt) << c.what;
    EXPECT_TRUE(fake_.sleeps.empty()) << c.what;
    EXPECT_EQ(fake_.CountOf("MoveFileExW"), 1) << c.what;
    EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(10, 3)) << c.what;
    EXPECT_FALSE(fake_.Exists(kStaging)) << c.what;
    EXPECT_FALSE(fake_.Exists(kWaiting)) << c.what;
    EXPECT_EQ(fake_.OpenHandles(), 0) << c.what;
  }
}

TEST_F(PutInPlaceTest, TheWaitsEndAsSoonAsTheHolderLetsGoOrAnotherErrorComes) {
  Earlier();
  fake_.FailCall("MoveFileExW", 1, platform::kErrorSharingViolation);
  fake_.FailCall("MoveFileExW", 2, platform::kErrorAccessDenied);
  EXPECT_EQ(Put(), Placement::kInPlace);
  EXPECT_EQ(fake_.sleeps, (std::vector<std::uint32_t>{50, 100}));
  EXPECT_EQ(fake_.At(kTarget).bytes, Bytes(5000, 7));

  // Held at first, then a failure that waiting will not pass: the copy fails at once.
  Reset();
  Earlier();
  fake_.FailCall("MoveFileExW", 1, platform::kErrorSharingViolation);
  fake_.FailCall("MoveFileExW", 2, platform::kErrorDiskFull);
  EXPECT_EQ(Put(), std::nullopt);
  EXPECT_EQ(fake_.sleeps, std::vector<std::uint32_t>{50});
  EXPECT_FALSE(fake_.Exists(kStaging));
  EXPECT_FALSE(fake_.Exists(kWaiting));
}

TEST_F(PutInPlaceTest, ACopyAScannerHoldsIsWaitedForNeverLeftForTheRestart) {
  for (const bool fresh : {true, false}) {
    Reset();
    if (!fresh) Earlier();
    fake_.HoldOpen(kStaging, platform::kFileShareRead);  // through the waits and the removal
    EXPECT_EQ(Put(), std::nullopt) << fresh;
    EXPECT_EQ(fake_.sleeps.size(), 12u) << fresh;  // the waits for the rename, then the removal
    EXPECT_FALSE(fake_.Exists(kWaiting)) << fresh;
  }
  // The scanner lets go during the waits: replaced.
  Reset();
  fake_.FailCall("MoveFileExW", 1, platform::kErrorSharingViolation);
  EXPECT_EQ(Put(), Placement::kInPlace);
  EXPECT_EQ(fake_.sleeps, std::vector<std::uint32_t>{50});
}

TEST_F(PutInPlaceTest, ALoadedTargetThatIsThisReleasesFileAlreadyIsLeftAsItIs) {
  Earlier(Bytes(5000, 7));
  fake_.LoadAsImage(kTarget);
  EXPECT_EQ(Put(), Placement::kInPlace);
  EXPECT_TRUE(fake_.sleeps.empty());
  EXPECT_FALSE(fake_.Exists(kStaging));
  EXPECT_FALSE(fake_.Exists(kWaiting));
  EXPECT_EQ(fake_.OpenHandles(), 0);
}

}  // namespace
}  // namespace vannix::testing
