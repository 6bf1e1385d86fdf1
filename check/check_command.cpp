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
    u"and SHA-256 of the file setup_vannix.exe carries. A COM server is registered when every\r\n"
    u"class that this release's server declares creatable in its type library is registered\r\n"
    u"for 32-bit programs machine-wide (HKLM\\SOFTWARE\\Classes\\CLSID, 32-bit view) with an\r\n"
    u"InprocServer32 that names this very file; a user's own classes, which other users and\r\n"
    u"services do not see, never count. A server whose classes are unknown (it has no type\r\n"
    u"library) is registered when any machine-wide class names it; its line says so.\r\n"
    u"\r\n"
    u"One line per file: its state, its registration (registered, not registered, after\r\n"
    u"restart, or - for a file that is no COM server) and its path; a server not registered is\r\n"
    u"followed by how many of its classes are, and the CLSIDs of those that are missing or name\r\n"
    u"another file. Then a summary. The\r\n"
    u"states: ok; missing; differs; windows (a file that Windows owns and protects, which\r\n"
    u"setup_vannix.exe cannot replace: in place whatever it holds, shown with its file version\r\n"
    u"and this release's); unknown (present, but it cannot be opened or read: the reason is on\r\n"
    u"the error output); pending (Windows replaces the file with this release's when it next\r\n"
    u"starts). \"after restart\": regsvr32 registers it at the first administrator's logon\r\n"
    u"after that restart.\r\n"
    u"\r\n"
    u"Exit code: 0 everything is in place; 3010 only a restart is missing (pending files and\r\n"
    u"their registrations); 1 a file is missing or differs, or a server is not registered;\r\n"
    u"2 the check could not be made, or a file could not be read and nothing is definitely\r\n"
    u"missing, different or unregistered (the reason is on the error output).\r\n";

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

// "  (2 of 3 classes; {...} missing; {...} names another file)" for a server not registered
// (and not to be after the restart),
// "  (classes unknown: ...)" for one whose classes the build could not list; else nothing.
std::u16string ClassNote(const EntryCheck& entry) {
  if (entry.classes.empty()) return u"  (classes unknown: any class naming this file counts)";
  if (entry.registered || entry.registration_scheduled) return {};
  std::size_t registered = 0, others = 0;
  std::u16string missing, other;
  const auto add = [](std::u16string& list, const std::u16string& clsid) {
    list += (list.empty() ? std::u16string() : u", ") + clsid;
  };
  for (const ClassCheck& c : entry.classes) {
    if (c.state == ClassState::kRegistered) {
      ++registered;
    } else if (c.state == ClassState::kOtherFile) {
      ++others;
      add(other, c.clsid);
    } else {
      add(missing, c.clsid);
    }
  }
  std::u16string note = u"  (" + Decimal(registered) + u" of " + Decimal(entry.classes.size()) +
                        u" classes";
  if (!missing.empty()) note += u"; " + missing + u" missing";
  if (!other.empty())
    note += u"; " + other + (others == 1 ? u" names" : u" name") + u" another file";
  return note + u")";
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
  if (entry.must_be_registered && entry.file != FileState::kMissing) line += ClassNote(entry);
  return line + u"\r\n";
}

std::u16string FormatSummary(const InstallationCheck& check) {
  std::size_t files_ok = 0, windows = 0, unknown = 0, pending = 0, servers = 0, registered = 0,
              scheduled = 0, classes = 0, classes_registered = 0, classes_unknown = 0;
  for (const EntryCheck& entry : check.entries) {
    files_ok += entry.file == FileState::kOk;
    windows += entry.file == FileState::kWindows;
    unknown += entry.file == FileState::kUnknown;
    pending += entry.file == FileState::kPending;
    servers += entry.must_be_registered;
    registered += entry.must_be_registered && entry.registered;
    scheduled += entry.must_be_registered && !entry.registered && entry.registration_scheduled;
    classes_unknown += entry.must_be_registered && entry.classes.empty();
    classes += entry.classes.size();
    for (const ClassCheck& c : entry.classes)
      classes_registered += c.state == ClassState::kRegistered;
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
  if (classes != 0) {
    summary += u", " + Decimal(classes_registered) + u" of " + Decimal(classes) +
               u" classes machine-wide";
  }
  if (classes_unknown != 0) {
    summary += u", " + Decimal(classes_unknown) +
               (classes_unknown == 1 ? u" server's" : u" servers'") + u" classes unknown";
  }
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
