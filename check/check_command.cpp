#include "check/check_command.h"

#include <exception>

#include "installer/failure.h"
#include "installer/text.h"

namespace vannix {
namespace {

constexpr std::u16string_view kProgram = u"setup_vannix_check";

constexpr std::u16string_view kUsage =
    u"Usage: setup_vannix_check.exe [--help]\r\n"
    u"\r\n"
    u"Tells whether setup_vannix.exe has installed its components on this machine. Changes\r\n"
    u"nothing. Each file in the system directory for 32-bit programs is compared with the size\r\n"
    u"and SHA-256 of the file setup_vannix.exe carries, and each COM server must be named by a\r\n"
    u"class in the registry view of 32-bit programs.\r\n"
    u"\r\n"
    u"One line per file: its state, its registration (registered, not registered, after\r\n"
    u"restart, or - for a file that is no COM server) and its path; then a summary. The\r\n"
    u"states: ok; missing; differs; windows (a file that Windows owns and protects, which\r\n"
    u"setup_vannix.exe cannot replace: in place whatever it holds, shown with its file version\r\n"
    u"and this release's); unknown (present, but it cannot be opened or read: the reason is on\r\n"
    u"the error output); pending (Windows replaces the file with this release's when it next\r\n"
    u"starts). \"after restart\": a pending server, which regsvr32 registers once that restart\r\n"
    u"has put it in place; once it is in place, its registration is judged as any file's.\r\n"
    u"\r\n"
    u"Exit code: 0 everything is in place; 3010 only a restart is missing (pending files);\r\n"
    u"1 a file is missing or differs, or a server is not registered; 2 the check could not be\r\n"
    u"made, or a file could not be read and nothing is definitely missing, different or\r\n"
    u"unregistered (the reason is on the error output).\r\n";

std::u16string Padded(std::u16string_view text, std::size_t width) {
  std::u16string padded(text);
  if (padded.size() < width) padded.append(width - padded.size(), u' ');
  return padded;
}

std::u16string_view StateName(FileState state) {
  switch (state) {
    case FileState::kOk: return u"ok";
    case FileState::kMissing: return u"missing";
    case FileState::kDiffers: return u"differs";
    case FileState::kWindows: return u"windows";
    case FileState::kUnknown: return u"unknown";
    case FileState::kPending: return u"pending";
  }
  return u"?";
}

}  // namespace

std::u16string FormatEntry(const EntryCheck& entry) {
  const std::u16string_view registration = !entry.must_be_registered      ? u"-"
                                           : entry.registered             ? u"registered"
                                           : entry.registration_scheduled ? u"after restart"
                                                                          : u"not registered";
  std::u16string line = Padded(StateName(entry.file), 7) + u"  " + Padded(registration, 14) +
                        u"  " + entry.path;
  if (entry.file == FileState::kWindows) {
    const auto or_else = [](const std::u16string& version, std::u16string_view none) {
      return version.empty() ? std::u16string(none) : version;
    };
    line += u"  (version " + or_else(entry.installed_version, u"unknown") +
            u"; this release carries " + or_else(entry.release_version, u"none") + u")";
  }
  return line + u"\r\n";
}

std::u16string FormatSummary(const InstallationCheck& check) {
  std::size_t files_ok = 0, windows = 0, unknown = 0, pending = 0, servers = 0, registered = 0,
              scheduled = 0;
  for (const EntryCheck& entry : check.entries) {
    files_ok += entry.file == FileState::kOk;
    windows += entry.file == FileState::kWindows;
    unknown += entry.file == FileState::kUnknown;
    pending += entry.file == FileState::kPending;
    servers += entry.must_be_registered;
    registered += entry.must_be_registered && entry.registered;
    scheduled += entry.must_be_registered && !entry.registered && entry.registration_scheduled;
  }
  const Verdict verdict = check.Judge();
  std::u16string summary = verdict == Verdict::kComplete         ? u"complete: "
                           : verdict == Verdict::kRestartPending ? u"restart pending: "
                           : verdict == Verdict::kIncomplete     ? u"incomplete: "
                                                                 : u"undetermined: ";
  summary += Decimal(files_ok) + u" of " + Decimal(check.entries.size()) + u" files as shipped, ";
  if (windows != 0) summary += Decimal(windows) + u" owned by Windows, ";
  if (unknown != 0) summary += Decimal(unknown) + u" could not be read, ";
  if (pending != 0) summary += Decimal(pending) + u" replaced at the next restart, ";
  summary += Decimal(registered) + u" of " + Decimal(servers) + u" servers registered";
  if (scheduled != 0) summary += u", " + Decimal(scheduled) + u" after the restart";
  return summary + u" (\"" + check.variant + u"\" payload)\r\n";
}

int RunCheckCommand(const std::vector<std::u16string>& arguments, platform::Platform& platform,
                    platform::Advapi32& advapi32, const TextSink& out, const TextSink& err) {
  if (arguments.size() == 1 && arguments[0] == u"--help") {
    out(kUsage);
    return kCheckComplete;
  }
  if (!arguments.empty()) {
    err(std::u16string(kProgram) + u": unexpected argument \"" + arguments[0] + u"\"\r\n\r\n");
    err(kUsage);
    return kCheckCannotRun;
  }
  try {
    const InstallationCheck check =
        CheckInstallation(platform, advapi32, LoadPayloadDigests(platform));
    for (const EntryCheck& entry : check.entries) {
      out(FormatEntry(entry));
      if (!entry.problem.empty())
        err(std::u16string(kProgram) + u": " + entry.path + u" " + entry.problem + u"\r\n");
    }
    out(FormatSummary(check));
    switch (check.Judge()) {
      case Verdict::kComplete: return kCheckComplete;
      case Verdict::kRestartPending: return kCheckRestartPending;
      case Verdict::kIncomplete: return kCheckIncomplete;
      case Verdict::kUnknown: return kCheckCannotRun;
    }
  } catch (const Failure& failure) {
    err(std::u16string(kProgram) + u": cannot check the installation: " + failure.message() +
        u"\r\n");
  } catch (const std::exception& failure) {
    err(std::u16string(kProgram) + u": cannot check the installation: " + Widen(failure.what()) +
        u"\r\n");
  }
  return kCheckCannotRun;
}

}  // namespace vannix
