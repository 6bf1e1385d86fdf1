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
    u"One line per file: its state (ok, missing, differs, pending), its registration\r\n"
    u"(registered, not registered, after restart, or - for a file that is no COM server) and\r\n"
    u"its path; then a summary. \"pending\": Windows replaces the file with this release's when\r\n"
    u"it next starts; \"after restart\": regsvr32 registers it at the first administrator's\r\n"
    u"logon after that restart.\r\n"
    u"\r\n"
    u"Exit code: 0 everything is in place; 3010 only a restart is missing (pending files and\r\n"
    u"their registrations); 1 a file is missing or differs, or a server is not registered;\r\n"
    u"2 the check could not be made (the reason is on the error output).\r\n";

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
  return Padded(StateName(entry.file), 7) + u"  " + Padded(registration, 14) + u"  " +
         entry.path + u"\r\n";
}

std::u16string FormatSummary(const InstallationCheck& check) {
  std::size_t files_ok = 0, pending = 0, servers = 0, registered = 0, scheduled = 0;
  for (const EntryCheck& entry : check.entries) {
    files_ok += entry.file == FileState::kOk;
    pending += entry.file == FileState::kPending;
    servers += entry.must_be_registered;
    registered += entry.must_be_registered && entry.registered;
    scheduled += entry.must_be_registered && !entry.registered && entry.registration_scheduled;
  }
  const std::u16string_view verdict = check.Complete()               ? u"complete: "
                                      : check.CompleteAfterRestart() ? u"restart pending: "
                                                                     : u"incomplete: ";
  return std::u16string(verdict) + Decimal(files_ok) + u" of " + Decimal(check.entries.size()) +
         u" files as shipped" +
         (pending != 0 ? u", " + Decimal(pending) + u" replaced at the next restart" : u"") +
         u", " + Decimal(registered) + u" of " + Decimal(servers) + u" servers registered" +
         (scheduled != 0 ? u", " + Decimal(scheduled) + u" after the restart" : u"") + u" (\"" +
         check.variant + u"\" payload)\r\n";
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
    return check.Complete()               ? kCheckComplete
           : check.CompleteAfterRestart() ? kCheckRestartPending
                                          : kCheckIncomplete;
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
