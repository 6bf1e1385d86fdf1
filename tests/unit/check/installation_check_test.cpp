#include "check/check_command.h"

#include <gtest/gtest.h>

#include "check/class_registrations.h"
#include "installer/failure.h"
#include "installer/text.h"
#include "tests/unit/test_support.h"

namespace vannix::testing {
namespace {

const std::u16string kSysWow64 = u"C:\\Windows\\SysWOW64\\";

const std::u16string kMachineClasses = u"HKLM\\SOFTWARE\\Classes\\CLSID\\";

// The InprocServer32 key of the `n`-th class of server `index`, machine-wide.
std::u16string ClassKey(std::size_t index, std::size_t n = 0) {
  return kMachineClasses + PayloadClasses(index)[n] + u"\\InprocServer32";
}

// A 64-bit Windows on which the installer ran (or did not), and the check's own table.
class Check : public ::testing::Test {
 protected:
  Check() {
    fake_.wow64_flag = 1;
    fake_.AddResource(u"PAYLOADDIGESTS", AsBytes(DigestTableText()));
    // Classes of other programs, as any machine has.
    fake_.SetRegistryString(kMachineClasses + u"{AAAAAAAA-0000-0000-0000-000000000000}\\InprocServer32",
                            u"", u"C:\\Windows\\SysWOW64\\shell32.dll");
    fake_.AddRegistryKey(kMachineClasses + u"{BBBBBBBB-0000-0000-0000-000000000000}\\LocalServer32");
  }

  std::u16string Path(std::size_t index) const { return kSysWow64 + EntryFileName(kCatalogue[index]); }

  void InstallFiles() {
    for (std::size_t i = 0; i < kCatalogue.size(); ++i) fake_.AddFile(Path(i), Payload(i, true));
  }
  void RegisterServers() {
    for (std::size_t i = 0; i < kCatalogue.size(); ++i)
      for (std::size_t n = 0; n < PayloadClasses(i).size(); ++n)
        fake_.SetRegistryString(ClassKey(i, n), u"", Path(i));
  }
  void Install() {
    InstallFiles();
    RegisterServers();
  }

  int Run(std::vector<std::u16string> arguments = {}) {
    out_.clear();
    err_.clear();
    const int code = RunCheckCommand(
        arguments, fake_, fake_, fake_, [&](std::u16string_view t) { out_ += t; },
        [&](std::u16string_view t) { err_ += t; });
    EXPECT_EQ(fake_.OpenHandles(), 0) << "a handle was not released";
    return code;
  }

  // The output line of catalogue entry `index`.
  std::u16string Line(std::size_t index) const {
    std::size_t start = 0;
    for (std::size_t i = 0; i < index; ++i) start = out_.find(u"\r\n", start) + 2;
    return out_.substr(start, out_.find(u"\r\n", start) - start);
  }
  std::string Out() const { return Narrow(out_); }
  std::string Err() const { return Narrow(err_); }

  FakePlatform fake_;
  std::u16string out_, err_;
};

TEST_F(Check, ACompleteInstallationIsOkRegisteredAndExitsZero) {
  Install();
  EXPECT_EQ(Run(), kCheckComplete) << Out() << Err();
  EXPECT_EQ(Line(0), u"ok       registered      C:\\Windows\\SysWOW64\\KorviX.dll");
  EXPECT_EQ(Line(6), u"ok       -               C:\\Windows\\SysWOW64\\ssleay32.dll");
  EXPECT_EQ(Line(11), u"complete: 11 of 11 files as shipped, 6 of 6 servers registered, "
                      u"8 of 8 classes machine-wide (\"64\" payload)");
  EXPECT_EQ(out_.size(), out_.rfind(u"\r\n") + 2);
  EXPECT_TRUE(err_.empty());
  // Only the registry view of 32-bit programs is read.
  int opened = 0;
  for (const Call& call : fake_.calls()) {
    if (call.name != "RegOpenKeyExW") continue;
    ++opened;
    EXPECT_EQ(call.flags, platform::kKeyRead | platform::kKeyWow64View32);
  }
  EXPECT_GT(opened, 0);
  // Nothing is written anywhere.
  EXPECT_EQ(fake_.CountOf("WriteFile") + fake_.CountOf("MoveFileExW") + fake_.CountOf("DeleteFileW") +
                fake_.CountOf("SetFileAttributesW"),
            0);
}

TEST_F(Check, OnThirtyTwoBitWindowsTheThirtyTwoBitPayloadIsExpectedInSystem32) {
  fake_.wow64_flag = 0;
  for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
    const std::u16string path = u"C:\\Windows\\System32\\" + EntryFileName(kCatalogue[i]);
    fake_.AddFile(path, Payload(i, false));
    for (std::size_t n = 0; n < PayloadClasses(i).size(); ++n)
      fake_.SetRegistryString(ClassKey(i, n), u"", path);
  }
  EXPECT_EQ(Run(), kCheckComplete) << Out();
  EXPECT_NE(out_.find(u"(\"32\" payload)"), std::u16string::npos);
}

TEST_F(Check, NothingInstalledIsMissingAndNotRegistered) {
  EXPECT_EQ(Run(), kCheckIncomplete);
  EXPECT_EQ(Line(0), u"missing  not registered  C:\\Windows\\SysWOW64\\KorviX.dll");
  EXPECT_EQ(Line(10), u"missing  -               C:\\Windows\\SysWOW64\\qelKorviLib.dll");
  EXPECT_EQ(Line(11), u"incomplete: 0 of 11 files as shipped, 0 of 6 servers registered, "
                      u"0 of 8 classes machine-wide (\"64\" payload)");
}

TEST_F(Check, AChangedByteOrSizeMakesThatFileAloneDiffer) {
  Install();
  auto changed = Payload(2, true);
  changed[500] ^= std::byte{1};
  fake_.AddFile(Path(2), changed);
  auto shorter = Payload(8, true);
  shorter.pop_back();
  fake_.AddFile(Path(8), shorter);
  EXPECT_EQ(Run(), kCheckIncomplete);
  for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
    const bool differs = i == 2 || i == 8;
    EXPECT_EQ(Line(i).rfind(differs ? u"differs  " : u"ok       ", 0), 0u) << Narrow(Line(i));
  }
  EXPECT_EQ(Line(2), u"differs  registered      C:\\Windows\\SysWOW64\\msxml6.dll");
  EXPECT_NE(out_.find(u"incomplete: 9 of 11"), std::u16string::npos);
}

// A replacement waiting for the restart, as the installer leaves it for entry `index`: the
// earlier file at the target, this release's beside it, the rename in `value` spelt as `from`
// and `to` (a "%" stands for the path).
class PendingCheck : public Check {
 protected:
  // The file of entry `index` waits for the restart, a start-up task to register it after.
  void Pend(std::size_t index, const std::u16string& value = u"PendingFileRenameOperations",
            const std::u16string& from = u"\\??\\%", const std::u16string& to = u"!\\??\\%") {
    const std::u16string temporary = Path(index) + u".vannix-new";
    fake_.AddFile(Path(index), Bytes(300, 5));
    if (kCatalogue[index].Register) {
      fake_.AddFile(kTasks + EntryFileName(kCatalogue[index]), {});
      fake_.AddRegistryKey(kTaskCache + EntryFileName(kCatalogue[index]));
    }
    fake_.AddFile(temporary, Payload(index, true));
    const auto spell = [](std::u16string form, const std::u16string& path) {
      return form.replace(form.find(u'%'), 1, path);
    };
    auto strings = fake_.RegistryStringsOf(kSessionManager, value).value_or(std::vector<std::u16string>{});
    for (const auto& text : {spell(from, temporary), spell(to, Path(index))}) strings.push_back(text);
    fake_.SetRegistryStrings(kSessionManager, value, strings);
  }
  const std::u16string kSessionManager = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  const std::u16string kTasks = u"C:\\Windows\\System32\\Tasks\\setup_vannix ";
  const std::u16string kTaskCache =
      u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Schedule\\TaskCache\\Tree\\"
      u"setup_vannix ";
};

TEST_F(PendingCheck, OnlyPendingReplacementsExit3010UntilTheRestartPutsThemInPlace) {
  Install();
  fake_.DeleteRegistryKey(ClassKey(1));  // the file there now registers nothing
  Pend(1);
  Pend(8, u"PendingFileRenameOperations2", u"\\??\\%", u"*1!\\??\\%");  // newer Windows' prefixes
  fake_.SetRegistryStrings(kSessionManager, u"PendingFileRenameOperations",
                           {u"\\??\\C:\\x.tmp", u"", u"\\??\\" + Path(1) + u".vannix-new",
                            u"!\\??\\" + Path(1)});  // after a deletion, pairs stay pairs
  EXPECT_EQ(Run(), kCheckRestartPending) << Out() << Err();
  EXPECT_EQ(Line(1), u"pending  after restart   C:\\Windows\\SysWOW64\\KorviDataSetX.dll");
  EXPECT_EQ(Line(8), u"pending  -               C:\\Windows\\SysWOW64\\msxml6r.dll");
  EXPECT_EQ(Line(11), u"restart pending: 9 of 11 files as shipped, 2 replaced at the next restart, "
                      u"5 of 6 servers registered, 1 after the restart, 7 of 8 classes machine-wide "
                      u"(\"64\" payload)");
  EXPECT_TRUE(err_.empty()) << Err();

  // Another entry that touches the file or its waiting copy decides what the restart leaves;
  // ours without its "!" would not replace the file.
  const auto renames = *fake_.RegistryStringsOf(kSessionManager, u"PendingFileRenameOperations");
  const std::u16string waiting = u"\\??\\" + Path(1) + u".vannix-new";
  for (const std::vector<std::u16string>& other :
       {std::vector<std::u16string>{u"\\??\\C:\\Windows\\Temp\\~mid.tmp", u"!\\??\\" + Path(1)},
        {u"\\??\\C:\\Windows\\Temp\\~mid.tmp", u"!" + waiting}, {waiting, u""}}) {
    auto listed = renames;
    listed.insert(listed.end(), other.begin(), other.end());
    fake_.SetRegistryStrings(kSessionManager, u"PendingFileRenameOperations", listed);
    EXPECT_EQ(Run(), kCheckIncomplete) << Narrow(other[1]);
  }
  fake_.SetRegistryStrings(kSessionManager, u"PendingFileRenameOperations",
                           {renames[0], renames[1], waiting, u"\\??\\" + Path(1)});
  EXPECT_EQ(Run(), kCheckIncomplete);
  fake_.SetRegistryStrings(kSessionManager, u"PendingFileRenameOperations", renames);

  // Without its start-up task, nothing registers it after the restart: 1, not 3010. A file in
  // the Tasks folder (which any user may write) is no task.
  fake_.DeleteRegistryKey(kTaskCache + u"KorviDataSetX.dll");
  EXPECT_EQ(Run(), kCheckIncomplete) << Out();
  EXPECT_EQ(Line(1), u"pending  not registered  C:\\Windows\\SysWOW64\\KorviDataSetX.dll  "
                     u"(nothing is scheduled to register it after the restart)");
  // Where Windows has no Task Scheduler, its RunOnce value tells.
  fake_.WithoutTaskScheduler();
  fake_.SetRegistryString(u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
                          u"setup_vannix KorviDataSetX.dll", u"\"...regsvr32.exe\" /s \"...\"");
  EXPECT_EQ(Run(), kCheckRestartPending) << Out();

  // Restarted, but the registration that was to follow never ran: the file is in place and
  // judged as any file, not promised to a restart that has come and gone.
  fake_.Restart();
  fake_.DeleteRegistryKey(kSessionManager);
  EXPECT_EQ(Run(), kCheckIncomplete) << Out();
  EXPECT_EQ(Line(1), u"ok       not registered  C:\\Windows\\SysWOW64\\KorviDataSetX.dll  "
                     u"(0 of 1 classes; {00000001-0000-0000-0000-000000000000} missing)");
}

TEST_F(PendingCheck, AnythingElseMissingWinsOver3010) {
  for (const char* what : {"another file differs", "another server not registered",
                           "the replacement is not this release's", "no rename pending"}) {
    fake_ = FakePlatform();
    fake_.wow64_flag = 1;
    fake_.AddResource(u"PAYLOADDIGESTS", AsBytes(DigestTableText()));
    Install();
    Pend(1);
    const std::string c = what;
    if (c == "another file differs") fake_.AddFile(Path(9), Bytes(10, 1));
    if (c == "another server not registered") fake_.DeleteRegistryKey(ClassKey(3));
    if (c == "the replacement is not this release's") fake_.AddFile(Path(1) + u".vannix-new", Bytes(40, 2));
    if (c == "no rename pending") fake_.DeleteRegistryKey(kSessionManager);
    EXPECT_EQ(Run(), kCheckIncomplete) << what << "\n" << Out();
  }
}

// One document, one line per file, whatever the state; the exit code as without --json.
TEST_F(PendingCheck, JsonGivesEachFilesFindingsAndTheSameExitCode) {
  Install();
  fake_.DeleteFileW(Path(0));                                         // missing
  auto changed = Payload(1, true);
  changed[9] ^= std::byte{1};
  fake_.AddFile(Path(1), changed);                                    // differs, same size
  fake_.protected_files.insert(Path(2));                              // windows
  fake_.file_versions[Path(2)] = 0x0006001E'4A610001u;
  fake_.HoldOpen(Path(3), 0);                                         // unknown
  Pend(4);                                                            // pending
  fake_.AddFile(fake_.own_module_path, Bytes(10));
  fake_.file_versions[fake_.own_module_path] = 0x00010002'00030004u;
  EXPECT_EQ(Run({u"--json"}), kCheckIncomplete) << Err();
  const auto file = [&](std::size_t i) {
    const std::u16string line = u"\r\n    {\"name\": \"" + EntryFileName(kCatalogue[i]) + u"\"";
    const auto at = out_.find(line);
    return at == std::u16string::npos ? std::string()
                                      : Narrow(out_.substr(at + 6, out_.find(u'\r', at + 2) - at - 6));
  };
  const auto expected = [](std::size_t i) {
    return "\"expected\": {\"size\": " + std::to_string(PayloadSize(i, true)) + ", \"sha256\": \"" +
           Sha256Hex(Payload(i, true)) + "\"}";
  };
  EXPECT_EQ(file(0), "{\"name\": \"KorviX.dll\", \"path\": \"C:\\\\Windows\\\\SysWOW64\\\\KorviX.dll\", "
                     "\"state\": \"missing\", " + expected(0) + ", \"found\": null, \"versions\": null, "
                     "\"registration\": \"not registered\", \"classes\": ["
                     "{\"clsid\": \"{00000000-0000-0000-0000-000000000000}\", \"state\": \"not looked up\"}, "
                     "{\"clsid\": \"{00000000-0001-0000-0000-000000000000}\", \"state\": \"not looked up\"}, "
                     "{\"clsid\": \"{00000000-0002-0000-0000-000000000000}\", \"state\": \"not looked up\"}], "
                     "\"problem\": null},");
  EXPECT_NE(file(1).find("\"state\": \"differs\", " + expected(1) + ", \"found\": {\"size\": " +
                         std::to_string(PayloadSize(1, true)) + ", \"sha256\": \"" + Sha256Hex(changed) +
                         "\"}, \"versions\": null, \"registration\": \"registered\", \"classes\": "
                         "[{\"clsid\": \"{00000001-0000-0000-0000-000000000000}\", \"state\": \"registered\"}]"),
            std::string::npos);
  EXPECT_NE(file(2).find("\"state\": \"windows\", " + expected(2) + ", \"found\": null, "
                         "\"versions\": {\"installed\": \"6.30.19041.1\", \"release\": \"6.1.2.64\"}"),
            std::string::npos);
  EXPECT_NE(file(3).find("\"state\": \"unknown\""), std::string::npos);
  EXPECT_NE(file(3).find("\"problem\": \"cannot be opened (error 32)\"}"), std::string::npos);
  EXPECT_NE(file(4).find("\"state\": \"pending\""), std::string::npos);
  EXPECT_NE(file(4).find("\"registration\": \"after restart\""), std::string::npos);
  EXPECT_NE(file(6).find("\"state\": \"ok\", " + expected(6) + ", \"found\": {\"size\": "), std::string::npos);
  EXPECT_NE(file(6).find("\"registration\": null, \"classes\": null"), std::string::npos);
  EXPECT_EQ(out_.rfind(u"{\r\n  \"release\": {\"product\": \"setup_vannix\", \"payload_variant\": \"64\", "
                       u"\"check_version\": \"1.2.3.4\"},\r\n  \"system_directory\": "
                       u"\"C:\\\\Windows\\\\SysWOW64\\\\\",\r\n  \"files\": [", 0), 0u) << Out();
  EXPECT_NE(out_.find(u"\"summary\": {\"verdict\": \"incomplete\", \"files\": 11, \"as_shipped\": 6, "
                      u"\"missing\": 1, \"differs\": 1, \"windows\": 1, \"unknown\": 1, \"pending\": 1, "
                      u"\"servers\": 6, \"registered\": 4, \"after_restart\": 1, \"classes\": 8, "
                      u"\"classes_registered\": 4, \"servers_with_classes_unknown\": 0},\r\n"
                      u"  \"exit_code\": 1\r\n}\r\n"),
            std::u16string::npos) << Out();
  for (const char16_t c : out_) EXPECT_LT(c, 0x80);
}

TEST_F(Check, JsonIsAsciiAndSaysWhyTheCheckCouldNotBeMade) {
  fake_.windows_directory = u"C:\\Wíndows \"x\"";
  Install();
  Run({u"--json"});
  EXPECT_NE(out_.find(u"\"system_directory\": \"C:\\\\W\\u00EDndows \\\"x\\\"\\\\SysWOW64\\\\\""),
            std::u16string::npos) << Out();
  fake_.FailCall("GetSystemWindowsDirectoryW", 0, 5);
  EXPECT_EQ(Run({u"--json"}), kCheckCannotRun);
  EXPECT_NE(out_.find(u"\"error\": \"The Windows directory cannot be read (error 5)\",\r\n  \"files\": [],\r\n"
                      u"  \"exit_code\": 2\r\n}"), std::u16string::npos) << Out();
  EXPECT_NE(err_.find(u"cannot check the installation"), std::u16string::npos);
}

TEST_F(PendingCheck, AFileThatCannotBeReadWinsOver3010) {
  Install();
  Pend(1);
  fake_.HoldOpen(Path(7), 0);  // held without sharing: what it holds cannot be told
  EXPECT_EQ(Run(), kCheckCannotRun) << Out();
  EXPECT_EQ(Line(1).rfind(u"pending  ", 0), 0u) << Out();
  EXPECT_EQ(Line(11).rfind(u"undetermined: ", 0), 0u) << Out();
}

TEST_F(Check, AFileThatCannotBeReadIsUnknownAndExitsTwoUnlessSomethingIsDefinitelyWrong) {
  // A file of several chunks, the second read of which fails.
  std::string table = DigestTableText();
  const std::vector<std::byte> big = Bytes(3 * 65536 + 10, 42);
  const std::string old_row = "64 KorviX.dll " + std::to_string(PayloadSize(0, true)) + " " +
                              Sha256Hex(Payload(0, true));
  table.replace(table.find(old_row), old_row.size(),
                "64 KorviX.dll " + std::to_string(big.size()) + " " + Sha256Hex(big));
  fake_ = FakePlatform();
  fake_.wow64_flag = 1;
  fake_.AddResource(u"PAYLOADDIGESTS", AsBytes(table));
  Install();
  fake_.AddFile(Path(0), big);
  EXPECT_EQ(Run(), kCheckComplete) << Out();  // the table and the file agree

  fake_.FailCall("ReadFile", fake_.CountOf("ReadFile") + 2, 23);
  EXPECT_EQ(Run(), kCheckCannotRun);
  EXPECT_EQ(Line(0), u"unknown  registered      C:\\Windows\\SysWOW64\\KorviX.dll") << Out();
  EXPECT_EQ(Line(11), u"undetermined: 10 of 11 files as shipped, 1 could not be read, "
                      u"6 of 6 servers registered, 8 of 8 classes machine-wide (\"64\" payload)");
  EXPECT_EQ(Err(), "setup_vannix_check: C:\\Windows\\SysWOW64\\KorviX.dll cannot be read (error 23)\r\n");

  // A definite shortfall elsewhere wins: exit 1.
  fake_.DeleteFileW(Path(7));
  fake_.FailCall("ReadFile", fake_.CountOf("ReadFile") + 2, 23);
  EXPECT_EQ(Run(), kCheckIncomplete);
  EXPECT_EQ(Line(0).rfind(u"unknown  ", 0), 0u) << Out();
  EXPECT_NE(out_.find(u"incomplete: 9 of 11 files as shipped, 1 could not be read"),
            std::u16string::npos) << Out();
}

TEST_F(Check, ReadsBesideWritersAndIdentifiesAFileHeldWithoutSharing) {
  Install();
  // Another program writes the file and shares everything: the check's read must not conflict.
  fake_.HoldOpen(Path(5), platform::kFileShareRead | platform::kFileShareWrite |
                              platform::kFileShareDelete);
  // Another holds midas without sharing: its bytes are unknown, but an open for its attributes
  // still tells that the class's System32 path is this very file.
  fake_.HoldOpen(Path(4), 0);
  fake_.AddAlias(u"C:\\Windows\\System32", u"C:\\Windows\\SysWOW64");
  fake_.SetRegistryString(ClassKey(4), u"", u"C:\\Windows\\System32\\midas.dll");
  EXPECT_EQ(Run(), kCheckCannotRun) << Out();
  EXPECT_EQ(Line(4), u"unknown  registered      C:\\Windows\\SysWOW64\\midas.dll");
  EXPECT_EQ(Line(5), u"ok       registered      C:\\Windows\\SysWOW64\\stdvcl40.dll");
  EXPECT_EQ(Err(),
            "setup_vannix_check: C:\\Windows\\SysWOW64\\midas.dll cannot be opened (error 32)\r\n");
}

// Windows protects its own msxml6 pair on current systems: the installer cannot replace it.
class WindowsOwnFiles : public Check {
 protected:
  WindowsOwnFiles() {
    Install();
    for (const std::size_t i : {2u, 8u}) {
      fake_.AddFile(Path(i), Bytes(70000, 99));  // Windows' own, newer build
      fake_.protected_files.insert(Path(i));
      fake_.file_versions[Path(i)] = 0x0006001E'4A610001u;  // 6.30.19041.1
    }
  }
};

TEST_F(WindowsOwnFiles, AreInPlaceWhateverTheyHoldAndShowBothVersions) {
  EXPECT_EQ(Run(), kCheckComplete) << Out() << Err();
  EXPECT_EQ(Line(2), u"windows  registered      C:\\Windows\\SysWOW64\\msxml6.dll  "
                     u"(version 6.30.19041.1; this release carries 6.1.2.64)");
  EXPECT_EQ(Line(8), u"windows  -               C:\\Windows\\SysWOW64\\msxml6r.dll  "
                     u"(version 6.30.19041.1; this release carries 6.1.8.64)");
  EXPECT_EQ(Line(11), u"complete: 9 of 11 files as shipped, 2 owned by Windows, "
                      u"6 of 6 servers registered, 8 of 8 classes machine-wide (\"64\" payload)");
  EXPECT_TRUE(err_.empty());
  // sfc.dll and version.dll come from the system directory, once each.
  for (const std::u16string library : {u"sfc.dll", u"version.dll"}) {
    const int at = fake_.IndexOf("LoadSystemLibrary", library);
    EXPECT_GE(at, 0) << Narrow(library);
    EXPECT_EQ(fake_.IndexOf("LoadSystemLibrary", library, at + 1), -1);
  }
  EXPECT_EQ(fake_.CountOf("GetFileVersionInfoExW"), 2);  // of the two protected files only
}

TEST_F(WindowsOwnFiles, ShowTheFilesOwnVersionNotTheLanguageSatellites) {
  // The .mui satellite of a serviced system can be older than the file.
  fake_.satellite_versions[Path(2)] = 0x0006001E'1DB10000u;  // 6.30.7601.0
  EXPECT_EQ(Run(), kCheckComplete) << Out();
  EXPECT_NE(Line(2).find(u"(version 6.30.19041.1;"), std::u16string::npos) << Out();
  // Windows XP's version.dll has no neutral call; the plain one is all there is.
  fake_.version_has_ex = false;
  fake_.satellite_versions.clear();
  EXPECT_EQ(Run(), kCheckComplete) << Out();
  EXPECT_NE(Line(2).find(u"(version 6.30.19041.1;"), std::u16string::npos) << Out();
  EXPECT_EQ(fake_.CountOf("GetFileVersionInfoW"), 2);
}

TEST_F(WindowsOwnFiles, AreStillJudgedForTheirRegistrationAndPresence) {
  fake_.DeleteRegistryKey(ClassKey(2).substr(0, ClassKey(2).rfind(u'\\')));
  fake_.file_versions.clear();  // and shows no version
  EXPECT_EQ(Run(), kCheckIncomplete);
  EXPECT_EQ(Line(2), u"windows  not registered  C:\\Windows\\SysWOW64\\msxml6.dll  "
                     u"(version unknown; this release carries 6.1.2.64)  "
                     u"(0 of 1 classes; {00000002-0000-0000-0000-000000000000} missing)");
  fake_.DeleteFileW(Path(8));
  EXPECT_EQ(Run(), kCheckIncomplete);
  EXPECT_EQ(Line(8), u"missing  -               C:\\Windows\\SysWOW64\\msxml6r.dll");
}

TEST_F(WindowsOwnFiles, WithoutSfcNothingIsProtected) {
  fake_.sfc_loadable = false;
  EXPECT_EQ(Run(), kCheckIncomplete);
  EXPECT_EQ(Line(2), u"differs  registered      C:\\Windows\\SysWOW64\\msxml6.dll");
  EXPECT_EQ(fake_.CountOf("SfcIsFileProtected") + fake_.CountOf("GetFileVersionInfoW"), 0);
  fake_.sfc_loadable = true;
  fake_.has_sfc_is_file_protected = false;
  EXPECT_EQ(Run(), kCheckIncomplete);
  EXPECT_EQ(Line(8), u"differs  -               C:\\Windows\\SysWOW64\\msxml6r.dll");
  // Without version.dll a protected file is still Windows' own; its version is unknown.
  fake_.has_sfc_is_file_protected = true;
  fake_.version_loadable = false;
  EXPECT_EQ(Run(), kCheckComplete) << Out();
  EXPECT_NE(Line(8).find(u"(version unknown; this release carries 6.1.8.64)"),
            std::u16string::npos);
}

TEST_F(Check, ADirectoryWhereAFileBelongsIsMissing) {
  Install();
  fake_.AddDirectory(Path(3));
  EXPECT_EQ(Run(), kCheckIncomplete);
  EXPECT_EQ(Line(3), u"missing  not registered  C:\\Windows\\SysWOW64\\KorviGovX.ocx");
}

struct ValueCase {
  const char* name;
  std::function<void(FakePlatform&)> arrange;  // sets up the class of KorviX (entry 0)
  bool registered;
};

void PrintTo(const ValueCase& c, std::ostream* out) { *out << c.name; }

class ServerValue : public Check, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ServerValue, DecidesWhetherTheClassNamesTheInstalledFile) {
  Install();
  fake_.DeleteRegistryKey(ClassKey(0).substr(0, ClassKey(0).rfind(u'\\')));
  GetParam().arrange(fake_);
  Run();
  EXPECT_EQ(Line(0).substr(9, 14), GetParam().registered ? u"registered    " : u"not registered")
      << Out();
  EXPECT_EQ(Line(1).substr(9, 10), u"registered");  // the other entries are unaffected
}

const std::u16string kKey = ClassKey(0);

INSTANTIATE_TEST_SUITE_P(
    Values, ServerValue,
    ::testing::Values(
        ValueCase{"NoClass", [](FakePlatform&) {}, false},
        ValueCase{"PlainPath",
                  [](FakePlatform& f) { f.SetRegistryString(kKey, u"", u"C:\\Windows\\SysWOW64\\KorviX.dll"); },
                  true},
        ValueCase{"OtherLetterCase",
                  [](FakePlatform& f) { f.SetRegistryString(kKey, u"", u"c:\\WINDOWS\\syswow64\\korvix.DLL"); },
                  true},
        ValueCase{"Quoted",
                  [](FakePlatform& f) {
                    f.SetRegistryString(kKey, u"", u"\"C:\\Windows\\SysWOW64\\KorviX.dll\"");
                  },
                  true},
        ValueCase{"ExpandString",
                  [](FakePlatform& f) {
                    f.SetRegistryString(kKey, u"", u"%SystemRoot%\\SysWOW64\\KorviX.dll",
                                        platform::kRegExpandSz);
                  },
                  true},
        ValueCase{"PlainStringIsNotExpanded",
                  [](FakePlatform& f) {
                    f.SetRegistryString(kKey, u"", u"%SystemRoot%\\SysWOW64\\KorviX.dll");
                  },
                  false},
        ValueCase{"System32SeenBy32BitCode",
                  [](FakePlatform& f) {
                    f.AddAlias(u"C:\\Windows\\System32", u"C:\\Windows\\SysWOW64");  // the redirector
                    f.SetRegistryString(kKey, u"", u"C:\\Windows\\System32\\KorviX.dll");
                  },
                  true},
        ValueCase{"ShortName",
                  [](FakePlatform& f) {
                    f.AddAlias(u"C:\\Windows\\SysWOW64\\KORVIX~1.DLL", u"C:\\Windows\\SysWOW64\\KorviX.dll");
                    f.SetShortPath(u"C:\\Windows\\SysWOW64\\KorviX.dll", u"C:\\Windows\\SysWOW64\\KORVIX~1.DLL");
                    f.SetRegistryString(kKey, u"", u"C:\\Windows\\SysWOW64\\KORVIX~1.DLL");
                  },
                  true},
        ValueCase{"SameNameElsewhere",
                  [](FakePlatform& f) {
                    f.AddDirectory(u"C:\\Old");
                    f.AddFile(u"C:\\Old\\KorviX.dll", Payload(0, true));
                    f.SetRegistryString(kKey, u"", u"C:\\Old\\KorviX.dll");
                  },
                  false},
        ValueCase{"NotAString",
                  [](FakePlatform& f) {
                    f.SetRegistryValue(kKey, u"", 4, {std::byte{1}, std::byte{0}, std::byte{0}, std::byte{0}});
                  },
                  false},
        ValueCase{"NamedValueOnly",
                  [](FakePlatform& f) {
                    f.SetRegistryString(kKey, u"ThreadingModel", u"C:\\Windows\\SysWOW64\\KorviX.dll");
                  },
                  false},
        ValueCase{"BareNameMeansTheSystemDirectory",
                  [](FakePlatform& f) { f.SetRegistryString(kKey, u"", u"KorviX.dll"); },
                  true},
        ValueCase{"UnopenablePathOfOtherText",
                  [](FakePlatform& f) { f.SetRegistryString(kKey, u"", u"C:\\Gone\\KorviX.dll"); },
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Check, AnInstalledFileThatCannotBeIdentifiedIsMatchedByPathText) {
  Install();
  fake_.FailCall("GetFileInformationByHandle", 1, 5);  // the first file looked at: KorviX
  EXPECT_EQ(Run(), kCheckCannotRun);
  EXPECT_EQ(Line(0), u"unknown  registered      C:\\Windows\\SysWOW64\\KorviX.dll");
  EXPECT_NE(err_.find(u"KorviX.dll cannot be examined (error 5)"), std::u16string::npos);
}

TEST_F(Check, NoClassesAtAllMeansNothingIsRegistered) {
  InstallFiles();
  fake_.DeleteRegistryKey(u"HKLM\\SOFTWARE\\Classes\\CLSID");
  EXPECT_EQ(Run(), kCheckIncomplete);
  EXPECT_NE(out_.find(u"11 of 11 files as shipped, 0 of 6 servers registered"), std::u16string::npos);
}

struct CannotRunCase {
  const char* name;
  std::function<void(FakePlatform&)> arrange;
  const char* reason;
};

void PrintTo(const CannotRunCase& c, std::ostream* out) { *out << c.name; }

class CannotRun : public Check, public ::testing::WithParamInterface<CannotRunCase> {};

TEST_P(CannotRun, ExitsTwoWithTheReasonAndNoReport) {
  Install();
  GetParam().arrange(fake_);
  EXPECT_EQ(Run(), kCheckCannotRun);
  EXPECT_TRUE(out_.empty()) << Out();
  EXPECT_EQ(Err(), std::string("setup_vannix_check: cannot check the installation: ") +
                       GetParam().reason + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, CannotRun,
    ::testing::Values(
        CannotRunCase{"WindowsDirectory",
                      [](FakePlatform& f) { f.FailCall("GetSystemWindowsDirectoryW", 0, 5); },
                      "The Windows directory cannot be read (error 5)"},
        CannotRunCase{"RegistryDenied", [](FakePlatform& f) { f.FailCall("RegOpenKeyExW", 1, 5); },
                      "the COM class registrations cannot be read (error 5)"},
        CannotRunCase{"RegistryListing",  // listed only for a server without a type library
                      [](FakePlatform& f) {
                        f = FakePlatform();
                        f.wow64_flag = 1;
                        f.AddResource(u"PAYLOADDIGESTS", AsBytes(DigestTableText({4})));
                        f.AddRegistryKey(kMachineClasses + u"{AAAAAAAA-0000-0000-0000-000000000000}");
                        f.FailCall("RegEnumKeyExW", 1, 1450);
                      },
                      "the COM class registrations cannot be listed (error 1450)"},
        CannotRunCase{"OneClassUnreadable",
                      [](FakePlatform& f) { f.FailCall("RegOpenKeyExW", 4, 5); },
                      "the COM class {00000000-0001-0000-0000-000000000000} cannot be read "
                      "(error 5)"},
        CannotRunCase{"NoHashProvider",
                      [](FakePlatform& f) { f.FailCall("CryptAcquireContextW", 0, 0x80090017u); },
                      "no SHA-256 provider is available (error 2148073495)"},
        CannotRunCase{"NoSha256",  // Windows XP SP2: the provider is there, SHA-256 is not
                      [](FakePlatform& f) { f.FailCall("CryptCreateHash", 1, 0x80090008u); },
                      "SHA-256 is not available on this system (error 2148073480)"},
        CannotRunCase{"NoTable",
                      [](FakePlatform& f) {
                        f = FakePlatform();
                        f.wow64_flag = 1;
                      },
                      "the payload table of this program is missing"},
        CannotRunCase{"DamagedTable",
                      [](FakePlatform& f) {
                        f = FakePlatform();
                        f.AddResource(u"PAYLOADDIGESTS", AsBytes("32 KorviX.dll 12 abc\n"));
                      },
                      "the payload table of this program is damaged at line 1"},
        CannotRunCase{"TableWithoutTheVariant",
                      [](FakePlatform& f) {
                        f = FakePlatform();
                        f.wow64_flag = 1;
                        std::string table = DigestTableText();
                        f.AddResource(u"PAYLOADDIGESTS", AsBytes(table.substr(0, table.find("64 "))));
                      },
                      "the payload table of this program has no row for 64/KorviX.dll"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Check, HelpPrintsTheUsageAndChecksNothing) {
  EXPECT_EQ(Run({u"--help"}), kCheckComplete);
  EXPECT_EQ(out_.rfind(u"Usage: setup_vannix_check.exe [--json | --help]\r\n", 0), 0u);
  EXPECT_NE(out_.find(u"Exit code: 0"), std::u16string::npos);
  EXPECT_TRUE(err_.empty());
  EXPECT_TRUE(fake_.calls().empty());
}

TEST_F(Check, AnyOtherArgumentIsAnError) {
  for (const auto& arguments : std::vector<std::vector<std::u16string>>{
           {u"/?"}, {u"--verbose"}, {u"--help", u"--help"}, {u""}, {u"--json", u"--help"},
           {u"--json", u"--json"}, {u"--JSON"}}) {
    EXPECT_EQ(Run(arguments), kCheckCannotRun);
    EXPECT_TRUE(out_.empty());
    const std::u16string& named = arguments[0] == u"--json" ? arguments[1] : arguments[0];
    EXPECT_EQ(err_.rfind(u"setup_vannix_check: unexpected argument \"" + named + u"\"", 0), 0u);
    EXPECT_NE(err_.find(u"Usage: "), std::u16string::npos);
  }
  EXPECT_TRUE(fake_.calls().empty());
}

TEST_F(Check, EveryClassOfThisReleaseMustNameTheInstalledFile) {
  Install();
  fake_.DeleteRegistryKey(kMachineClasses + PayloadClasses(0)[1]);  // removed after the install
  EXPECT_EQ(Run(), kCheckIncomplete) << Out();
  EXPECT_EQ(Line(0), u"ok       not registered  C:\\Windows\\SysWOW64\\KorviX.dll  "
                     u"(2 of 3 classes; {00000000-0001-0000-0000-000000000000} missing)");
  EXPECT_EQ(Line(11), u"incomplete: 11 of 11 files as shipped, 5 of 6 servers registered, "
                      u"7 of 8 classes machine-wide (\"64\" payload)");

  // Another file's server (an earlier release left elsewhere) and an empty value.
  fake_.AddDirectory(u"C:\\Old");
  fake_.AddFile(u"C:\\Old\\KorviX.dll", Payload(0, true));
  fake_.SetRegistryString(ClassKey(0, 1), u"", u"C:\\Old\\KorviX.dll");
  fake_.SetRegistryString(ClassKey(0, 2), u"", u"");
  EXPECT_EQ(Run(), kCheckIncomplete) << Out();
  EXPECT_EQ(Line(0), u"ok       not registered  C:\\Windows\\SysWOW64\\KorviX.dll  "
                     u"(1 of 3 classes; {00000000-0002-0000-0000-000000000000} missing; "
                     u"{00000000-0001-0000-0000-000000000000} names another file)");
  const auto result = CheckInstallation(fake_, fake_, fake_, LoadPayloadDigests(fake_));
  ASSERT_EQ(result.entries[0].classes.size(), 3u);
  EXPECT_EQ(result.entries[0].classes[1].state, ClassState::kOtherFile);
  EXPECT_EQ(result.entries[0].classes[2].state, ClassState::kMissing);
  // Looked up one by one: no walk of the machine's classes.
  EXPECT_EQ(fake_.CountOf("RegEnumKeyExW"), 0);

  // TreatAs sends the class's clients to another class, whatever its InprocServer32 says.
  fake_.SetRegistryString(kMachineClasses + PayloadClasses(0)[0] + u"\\TreatAs", u"",
                          u"{11111111-0000-0000-0000-000000000000}");
  EXPECT_EQ(Run(), kCheckIncomplete) << Out();
  EXPECT_EQ(Line(0), u"ok       not registered  C:\\Windows\\SysWOW64\\KorviX.dll  "
                     u"(0 of 3 classes; {00000000-0002-0000-0000-000000000000} missing; "
                     u"{00000000-0001-0000-0000-000000000000} names another file; "
                     u"{00000000-0000-0000-0000-000000000000} treated as another class)");
}

TEST_F(Check, AUsersOwnClassNeverCounts) {
  // HKEY_CLASSES_ROOT merges the user's HKCU\Software\Classes into the machine's: COM run by
  // another user or by SYSTEM does not see that class.
  Install();
  fake_.DeleteRegistryKey(kMachineClasses + PayloadClasses(5)[0]);
  fake_.SetRegistryString(u"CLSID\\" + PayloadClasses(5)[0] + u"\\InprocServer32", u"", Path(5));
  EXPECT_EQ(Run(), kCheckIncomplete);
  EXPECT_EQ(Line(5), u"ok       not registered  C:\\Windows\\SysWOW64\\stdvcl40.dll  "
                     u"(0 of 1 classes; {00000005-0000-0000-0000-000000000000} missing)");
  for (const Call& call : fake_.calls()) {
    if (call.name == "RegOpenKeyExW") {
      EXPECT_NE(call.handle, platform::kHkeyClassesRoot);
    }
  }

  // Without a type library the walk of the machine's classes does not see it either.
  fake_.AddResource(u"PAYLOADDIGESTS", AsBytes(DigestTableText({5})));
  fake_ = FakePlatform();
  fake_.wow64_flag = 1;
  fake_.AddResource(u"PAYLOADDIGESTS", AsBytes(DigestTableText({5})));
  Install();
  fake_.DeleteRegistryKey(kMachineClasses + PayloadClasses(5)[0]);
  fake_.SetRegistryString(u"CLSID\\" + PayloadClasses(5)[0] + u"\\InprocServer32", u"", Path(5));
  EXPECT_EQ(Run(), kCheckIncomplete);
  for (const Call& call : fake_.calls()) {
    if (call.name == "RegOpenKeyExW") {
      EXPECT_NE(call.handle, platform::kHkeyClassesRoot);
    }
  }
}

TEST_F(Check, AServerWithoutATypeLibraryIsRegisteredByAnyClassNamingIt) {
  fake_ = FakePlatform();
  fake_.wow64_flag = 1;
  fake_.AddResource(u"PAYLOADDIGESTS", AsBytes(DigestTableText({4})));
  InstallFiles();
  RegisterServers();
  // Its class in the build's list is unknown; one of its own names it.
  fake_.SetRegistryString(kMachineClasses + u"{ABCDEF00-0000-0000-0000-000000000000}\\InprocServer32",
                          u"", Path(4));
  EXPECT_EQ(Run(), kCheckComplete) << Out();
  EXPECT_EQ(Line(4), u"ok       registered      C:\\Windows\\SysWOW64\\midas.dll  "
                     u"(classes unknown: any class naming this file counts)");
  EXPECT_EQ(Line(11), u"complete: 11 of 11 files as shipped, 6 of 6 servers registered, "
                      u"7 of 7 classes machine-wide, 1 server's classes unknown (\"64\" payload)");
  EXPECT_GT(fake_.CountOf("RegEnumKeyExW"), 0);
  fake_.DeleteRegistryKey(kMachineClasses + u"{ABCDEF00-0000-0000-0000-000000000000}");
  fake_.DeleteRegistryKey(kMachineClasses + PayloadClasses(4)[0]);
  EXPECT_EQ(Run(), kCheckIncomplete);
  EXPECT_EQ(Line(4), u"ok       not registered  C:\\Windows\\SysWOW64\\midas.dll  "
                     u"(classes unknown: any class naming this file counts)");
}

TEST(PayloadDigests, ParsesTheBuildsTableAndRejectsAnythingElse) {
  const std::string clsids =
      " {6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F11},{6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F21}";
  const std::string row =
      "64 KorviX.dll 4848128 " + std::string(62, '0') + "1f 6.10.1129.0" + clsids + "\n";
  const auto table = ParsePayloadDigests(row + "32 a.dll 0 " + std::string(64, 'f') + " - -\n");
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].variant, u"64");
  EXPECT_EQ(table[0].file_name, u"KorviX.dll");
  EXPECT_EQ(table[0].size, 4848128u);
  EXPECT_EQ(table[0].sha256[31], std::byte{0x1f});
  EXPECT_EQ(table[0].file_version, u"6.10.1129.0");
  EXPECT_EQ(table[1].sha256[0], std::byte{0xff});
  EXPECT_EQ(table[1].file_version, u"");
  EXPECT_EQ(table[0].classes, (std::vector<std::u16string>{u"{6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F11}",
                                                           u"{6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F21}"}));
  EXPECT_TRUE(table[1].classes.empty());
  const std::string zeros = " " + std::string(64, '0');
  for (const std::string& bad_classes :
       {std::string(" {6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F1}"),  // a digit short
        std::string(" {6c1a5e21-3b7d-4f0e-9a41-5d2c8b7e1f11}"),  // the build writes upper case
        clsids + ",", clsids.substr(0, 39) + " " + clsids.substr(40), std::string(" ")}) {
    EXPECT_THROW(ParsePayloadDigests("64 a.dll 1" + zeros + " -" + bad_classes), Failure)
        << bad_classes;
  }
  for (const std::string& bad :
       {"64 KorviX.dll 4848128 " + std::string(63, '0') + " - -\n", "65 a.dll 1" + zeros + " - -",
        "64 a.dll x1" + zeros + " - -", "64  a.dll 1" + zeros + " - -",
        "64 a.dll 1 " + std::string(64, 'A') + " - -", "64 a.dll 1" + zeros + " - -\r\n",
        "64 a.dll 1" + zeros + " -", "64 a.dll 1" + zeros + " - - ",
        "64 a.dll 1" + zeros + " 6.1a -", "64 a.dll 1" + zeros + " 6.1.0 -",
        "64 a.dll 1" + zeros + " 6..1.0 -", "64 a.dll 1" + zeros + " 6.1.0.0.1 -",
        "64 a.dll 1" + zeros + " 65536.0.0.0 -", "64 a.dll 1" + zeros + " - - x",
        std::string("\n")}) {
    EXPECT_THROW(ParsePayloadDigests(row + bad), Failure) << bad;
  }
}

}  // namespace
}  // namespace vannix::testing
