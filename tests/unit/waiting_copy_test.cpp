#include "installer/waiting_copy.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "check/installation_check.h"
#include "installer/deploy.h"
#include "installer/pending_renames.h"
#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

// Every sequence of up to three runs of the installer on one server, KorviX.dll: before each
// run its target is free or held (loaded by a program), as it is or just replaced by another
// program's copy that unregistered this release's classes, or held while the Task Scheduler
// refuses every request; each run goes through, or is
// stopped right after any one of its changes (killed, the machine going on; or the power
// lost, the machine starting again at once). After each run, and at each start of Windows
// (the listed renames whose source is there made, then the start-up tasks run), the rules of
// installer/waiting_copy.h and the check's verdict are asserted. Identical machines are walked
// once. The walk starts twice: from a machine with another program's copy of the server, and
// from one an older release left with a rename listed and nothing to register its file.

const std::u16string kDir = u"C:\\Windows\\SysWOW64\\";
const std::u16string kTarget = kDir + u"KorviX.dll";
const std::u16string kWaiting = kTarget + u".vannix-new";
const std::u16string kRunOnce = u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const std::u16string kTaskName = u"setup_vannix KorviX.dll";
const std::vector<std::byte> kForeign = Bytes(700, 42);  // another program's copy of the file

enum class Holder { kFree, kHeld, kReplacedFree, kReplacedHeld, kHeldSchedulerFailing };
enum class Stop { kNone, kKilled, kPowerLost };

class Sequences : public ::testing::TestWithParam<bool> {
 protected:
  Sequences() {
    fake_.wow64_flag = 1;
    if (!TaskScheduler()) fake_.WithoutTaskScheduler();
    AddCataloguePayloads(fake_);
    fake_.AddResource(u"PAYLOADDIGESTS", AsBytes(DigestTableText()));
    scheduler_.regsvr32 = [](FakePlatform& fake, const std::u16string& target) {
      // A server registers the classes its file declares: this release's, or none of them.
      for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
        if (target != kDir + EntryFileName(kCatalogue[i]) || !fake.Exists(target) ||
            fake.At(target).bytes != Payload(i, true)) {
          continue;
        }
        for (const std::u16string& clsid : PayloadClasses(i))
          fake.SetRegistryString(ClassKey(clsid), u"", target);
      }
    };
    scheduler_.Attach(fake_);
    table_ = LoadPayloadDigests(fake_);
    InstallComponents(fake_, fake_);  // the other ten files, as they stay
    Replace();
    fake_.LazyFlush();
    fake_.ClearCalls();
  }

  static std::u16string ClassKey(const std::u16string& clsid) {
    return u"HKLM\\SOFTWARE\\Classes\\CLSID\\" + clsid + u"\\InprocServer32";
  }
  bool TaskScheduler() const { return GetParam(); }

  // Another program puts its copy in place, its installer having unregistered this release's.
  void Replace() {
    fake_.RemoveFile(kTarget);
    fake_.AddFile(kTarget, kForeign);
    for (const std::u16string& clsid : PayloadClasses(0)) fake_.DeleteRegistryKey(ClassKey(clsid));
  }

  // The run; the number of changes it made.
  int Run(Holder holder, Stop stop, int at) {
    fake_.LetGo(kTarget);
    if (holder == Holder::kReplacedFree || holder == Holder::kReplacedHeld) Replace();
    if (holder != Holder::kFree && holder != Holder::kReplacedFree) fake_.LoadAsImage(kTarget);
    scheduler_.exit_code = holder == Holder::kHeldSchedulerFailing ? 1 : 0;
    const int before = fake_.changes();
    fake_.StopAfter(stop == Stop::kNone ? 0 : at);
    try {
      Deployment deployment(fake_, fake_);
      InstallComponent(deployment, PlanEntry(deployment.layout, kCatalogue[0]));
    } catch (const RunStopped&) {
    }
    const bool stopped = fake_.Revive();
    EXPECT_EQ(stopped, stop != Stop::kNone) << path_;
    scheduler_.exit_code = 0;
    fake_.ClearCalls();
    return fake_.changes() - before;
  }

  bool Registered() {
    for (const std::u16string& clsid : PayloadClasses(0)) {
      const auto server = fake_.RegistryStringsOf(ClassKey(clsid), u"");
      if (!server || server->empty() || (*server)[0] != kTarget) return false;
    }
    return true;
  }
  bool Ours() const { return fake_.At(kTarget).bytes == Payload(0, true); }
  int Listed() {
    int listed = 0;
    for (const PendingRename& rename : ReadPendingRenames(fake_))
      listed += rename.from == kWaiting && rename.to == kTarget;
    return listed;
  }
  // The start-up registration: the task (its file and its key in the task store), or where
  // Windows has no Task Scheduler the RunOnce value.
  bool Scheduled() {
    return TaskScheduler() ? scheduler_.Tasks(fake_).count(kTaskName) != 0
                           : fake_.RegistryStringsOf(kRunOnce, kTaskName).has_value();
  }
  // The check's verdict, asked once per machine.
  Verdict Check() {
    const auto [at, fresh] = verdicts_.try_emplace(fake_.Fingerprint(), Verdict::kUnknown);
    if (fresh) at->second = CheckInstallation(fake_, fake_, fake_, table_).Judge();
    fake_.ClearCalls();
    return at->second;
  }

  void Require(bool rule, const char* what) {
    if (rule || ++failures_ > 5) return;
    ADD_FAILURE() << what << " after: " << path_;
  }

  // The rules wherever a run may have stopped.
  void RequireRules() {
    if (fake_.Exists(kWaiting)) Require(fake_.At(kWaiting).bytes == Payload(0, true), "a partial waiting copy");
    const int listed = Listed();
    Require(listed <= 1, "the rename scheduled twice");
    // From an older release's machine, the rule holds for every rename of this release's.
    Require(listed == 0 || Scheduled() || (legacy_ && !fake_.Exists(kWaiting)),
            "a listed rename without its registration");
    if (TaskScheduler()) Require(!fake_.RegistryStringsOf(kRunOnce, kTaskName), "RunOnce beside a Task Scheduler");
  }

  // Windows starts: the renames, then the start-up tasks (or, without a Task Scheduler, the
  // first logon's RunOnce). `promised`: the check had said complete or restart pending.
  void Start(bool power_lost, bool promised) {
    if (power_lost) fake_.LosePower();
    // Rule 2 when it matters: the file Windows puts in place, nothing else, registers it.
    const bool renamed = Listed() != 0 && fake_.Exists(kWaiting);
    if (renamed) Require(Scheduled(), "a rename at start-up without its registration");
    fake_.Restart();
    scheduler_.RunStartUpTasks(fake_);
    if (const auto line = fake_.RegistryStringsOf(kRunOnce, kTaskName)) {
      scheduler_.regsvr32(fake_, FakeScheduler::LastQuoted((*line)[0]));
      fake_.DeleteRegistryKeyAsService(kRunOnce);
    }
    fake_.LazyFlush();
    if (renamed) Require(Ours() && Registered(), "the file put in place at start-up not registered");
    if (promised) Require(Ours() && Registered(), "a promise of the check broken");
    const Verdict verdict = Check();
    Require(verdict == (Ours() && Registered() ? Verdict::kComplete : Verdict::kIncomplete),
            "the check's verdict after the start");
    Require(scheduler_.Tasks(fake_).empty(), "a task left after the start");
  }

  // A run with nothing held leaves no work file; what stays is a listed rename without its
  // source and the registration that goes with it, until Windows starts.
  void RequireCleanRun() {
    Run(Holder::kFree, Stop::kNone, 0);
    RequireRules();
    Require(Ours() && Registered(), "a free run did not install");
    std::vector<std::u16string> left;
    for (const std::u16string& path : fake_.Paths())
      if (path.starts_with(kTarget + u".")) left.push_back(path);
    Require(left.empty(), "a work file left by a free run");
    Require(scheduler_.Tasks(fake_, true).size() == scheduler_.Tasks(fake_).size(),
            "a task's file without its task left by a free run");
    Require(!Scheduled() || Listed() != 0, "a registration kept without a listed rename");
    Require(Scheduled() || Listed() == 0 || legacy_, "a listed rename without its registration");
    Require(Check() == Verdict::kComplete, "the check after a free run");
  }

  void Walk(int depth, const std::string& path) {
    if (!seen_.insert(std::to_string(depth) + fake_.Fingerprint()).second) return;
    ++machines_;
    const FakePlatform::World here = fake_.Save();
    path_ = path + ", then a free run";
    RequireCleanRun();
    fake_.Restore(here);
    path_ = path + ", then Windows starts";
    Start(false, false);
    if (depth == 3) return;
    for (const Holder holder : {Holder::kFree, Holder::kHeld, Holder::kReplacedFree,
                                Holder::kReplacedHeld, Holder::kHeldSchedulerFailing}) {
      if (holder == Holder::kHeldSchedulerFailing && !TaskScheduler()) continue;
      const std::string run = path + " | " +
                              (holder == Holder::kFree           ? "free"
                               : holder == Holder::kHeld         ? "held"
                               : holder == Holder::kReplacedFree ? "replaced"
                               : holder == Holder::kReplacedHeld ? "replaced, held"
                                                                 : "held, schtasks failing");
      fake_.Restore(here);
      path_ = run;
      const int changes = Run(holder, Stop::kNone, 0);
      RequireRules();
      const Verdict verdict = Check();
      // A run that goes through leaves the server in place or waiting for the restart (or,
      // where no task can be made, as it was).
      if (holder != Holder::kHeldSchedulerFailing)
        Require(verdict == Verdict::kComplete || verdict == Verdict::kRestartPending,
                "a run that went through left the server neither in place nor waiting");
      const FakePlatform::World after = fake_.Save();
      path_ = run + ", then the power lost";
      Start(true, verdict == Verdict::kComplete || verdict == Verdict::kRestartPending);
      fake_.Restore(after);
      fake_.LazyFlush();
      Walk(depth + 1, run);
      for (int at = 1; at <= changes; ++at) {
        for (const Stop stop : {Stop::kKilled, Stop::kPowerLost}) {
          const std::string stopped = run + (stop == Stop::kKilled ? ", killed" : ", power lost") +
                                      " after change " + std::to_string(at);
          fake_.Restore(here);
          path_ = stopped;
          Run(holder, stop, at);
          RequireRules();
          if (stop == Stop::kPowerLost) Start(true, false);
          fake_.LazyFlush();
          Walk(depth + 1, stopped);
        }
      }
    }
  }

  FakePlatform fake_;
  FakeScheduler scheduler_;
  std::vector<PayloadDigest> table_;
  std::set<std::string> seen_;
  std::map<std::string, Verdict> verdicts_;
  std::string path_;
  bool legacy_ = false;
  int failures_ = 0;
  int machines_ = 0;
};

TEST_P(Sequences, OfThreeRunsStopsAndStartsKeepTheRulesAndTheChecksWord) {
  const FakePlatform::World root = fake_.Save();
  Walk(0, "another program's copy in place");
  // An older release, its file in place, removed the task that its rename still needed.
  fake_.Restore(root);
  seen_.clear();
  legacy_ = true;
  fake_.SetRegistryStrings(u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                           u"PendingFileRenameOperations",
                           {u"\\??\\" + kWaiting, u"!\\??\\" + kTarget});
  Walk(0, "an older release's rename listed without its source or task");
  EXPECT_EQ(failures_, 0);
  // The walk reached the sequences it is about: many machines, the server held at start-up.
  EXPECT_GT(machines_, 50);
}

INSTANTIATE_TEST_SUITE_P(Windows, Sequences, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithTaskScheduler" : "Xp"; });

}  // namespace
}  // namespace vannix::testing
