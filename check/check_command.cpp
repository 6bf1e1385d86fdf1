#include "check/check_command.h"

#include <exception>

#include "check/check_names.h"
#include "check/file_version.h"
#include "check/json_report.h"
#include "installer/failure.h"
#include "installer/text.h"

namespace vannix {
namespace {

constexpr std::u16string_view kProgram = u"setup_vannix_check";

constexpr std::u16string_view kUsage =
    u"Usage: setup_vannix_check.exe [--json | --help]\r\n"
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
    u"another file. Then a summary. The states: ok; missing; differs; windows (a file that\r\n"
    u"Windows owns and protects, which setup_vannix.exe cannot replace: in place whatever it\r\n"
    u"holds, shown with its file version and this release's); unknown (present, but it cannot\r\n"
    u"be opened or read: the reason is on the error output); pending (Windows replaces the file\r\n"
    u"with this release's when it next restarts: Restart, not Shut down). \"after restart\": a\r\n"
    u"pending server, which a start-up task registers once that restart has put it in place;\r\n"
    u"once it is in place, its registration is judged as any file's.\r\n"
    u"\r\n"
    u"Exit code: 0 everything is in place; 3010 only a restart is missing (pending files);\r\n"
    u"1 a file is missing or differs, or a server is not registered; 2 the check could not be\r\n"
    u"made, or a file could not be read and nothing is definitely missing, different or\r\n"
    u"unregistered (the reason is on the error output).\r\n"
    u"\r\n"
    u"--json writes the same findings as one JSON document instead of the lines, in ASCII\r\n"
    u"(other characters as \\u escapes): the release (payload variant, this program's version),\r\n"
    u"the system directory, each file (name, path, state, expected and found size and SHA-256,\r\n"
    u"versions, registration, classes), the summary's counts and verdict, and the exit code,\r\n"
    u"the same as without --json. When the check cannot be made, it holds the reason as\r\n"
    u"\"error\".\r\n";

std::u16string Padded(std::u16string_view text, std::size_t width) {
  std::u16string padded(text);
  if (padded.size() < width) padded.append(width - padded.size(), u' ');
  return padded;
}

int ExitCodeOf(Verdict verdict) {
  switch (verdict) {
    case Verdict::kComplete: return kCheckComplete;
    case Verdict::kRestartPending: return kCheckRestartPending;
    case Verdict::kIncomplete: return kCheckIncomplete;
    case Verdict::kUnknown: return kCheckCannotRun;
  }
  return kCheckCannotRun;
}

// "  (2 of 3 classes; {...} missing; {...} names another file; {...} treated as another
// class)" for a server not registered (and not to be after the restart), a note for a pending
// server that nothing registers after the restart,
// "  (classes unknown: ...)" for one whose classes the build could not list; else nothing.
std::u16string ClassNote(const EntryCheck& entry) {
  if (entry.file == FileState::kPending && !entry.registration_scheduled)
    return u"  (nothing is scheduled to register it after the restart)";
  if (entry.classes.empty()) return u"  (classes unknown: any class naming this file counts)";
  if (entry.registered || entry.registration_scheduled) return {};
  std::size_t registered = 0, others = 0;
  std::u16string missing, other, treated;
  const auto add = [](std::u16string& list, const std::u16string& clsid) {
    list += (list.empty() ? std::u16string() : u", ") + clsid;
  };
  for (const ClassCheck& c : entry.classes) {
    if (c.state == ClassState::kRegistered) {
      ++registered;
    } else if (c.state == ClassState::kOtherFile) {
      ++others;
      add(other, c.clsid);
    } else if (c.state == ClassState::kTreatedAs) {
      add(treated, c.clsid);
    } else {
      add(missing, c.clsid);
    }
  }
  std::u16string note = u"  (" + Decimal(registered) + u" of " + Decimal(entry.classes.size()) +
                        u" classes";
  if (!missing.empty()) note += u"; " + missing + u" missing";
  if (!other.empty())
    note += u"; " + other + (others == 1 ? u" names" : u" name") + u" another file";
  if (!treated.empty()) note += u"; " + treated + u" treated as another class";
  return note + u")";
}

}  // namespace

std::u16string FormatEntry(const EntryCheck& entry) {
  std::u16string line = Padded(StateName(entry.file), 7) + u"  " +
                        Padded(RegistrationName(entry), 14) + u"  " + entry.path;
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
  const CheckCounts n = check.Count();
  std::u16string summary = std::u16string(VerdictName(check.Judge())) + u": ";
  summary += Decimal(n.ok) + u" of " + Decimal(n.files) + u" files as shipped, ";
  if (n.windows != 0) summary += Decimal(n.windows) + u" owned by Windows, ";
  if (n.unknown != 0) summary += Decimal(n.unknown) + u" could not be read, ";
  if (n.pending != 0) summary += Decimal(n.pending) + u" replaced at the next restart, ";
  summary += Decimal(n.registered) + u" of " + Decimal(n.servers) + u" servers registered";
  if (n.after_restart != 0) summary += u", " + Decimal(n.after_restart) + u" after the restart";
  if (n.classes != 0) {
    summary += u", " + Decimal(n.classes_registered) + u" of " + Decimal(n.classes) +
               u" classes machine-wide";
  }
  if (n.classes_unknown != 0) {
    summary += u", " + Decimal(n.classes_unknown) +
               (n.classes_unknown == 1 ? u" server's" : u" servers'") + u" classes unknown";
  }
  return summary + u" (\"" + check.variant + u"\" payload)\r\n";
}

int RunCheckCommand(const std::vector<std::u16string>& arguments, platform::Platform& platform,
                    platform::Registry& registry, platform::Hashing& hashing,
                    const TextSink& out, const TextSink& err) {
  if (arguments.size() == 1 && arguments[0] == u"--help") {
    out(kUsage);
    return kCheckComplete;
  }
  const bool json = arguments.size() == 1 && arguments[0] == u"--json";
  if (!arguments.empty() && !json) {
    const auto unknown = arguments[0] == u"--json" ? arguments[1] : arguments[0];
    err(std::u16string(kProgram) + u": unexpected argument \"" + unknown + u"\"\r\n\r\n");
    err(kUsage);
    return kCheckCannotRun;
  }
  std::u16string reason;
  try {
    const InstallationCheck check =
        CheckInstallation(platform, registry, hashing, LoadPayloadDigests(platform));
    for (const EntryCheck& entry : check.entries) {
      if (!json) out(FormatEntry(entry));
      if (!entry.problem.empty())
        err(std::u16string(kProgram) + u": " + entry.path + u" " + entry.problem + u"\r\n");
    }
    const int code = ExitCodeOf(check.Judge());
    if (json) {
      FileVersionReader versions(platform);
      out(FormatJson(check, versions.Read(platform.OwnModulePath()), code));
    } else {
      out(FormatSummary(check));
    }
    return code;
  } catch (const Failure& failure) {
    reason = failure.message();
  } catch (const std::exception& failure) {
    reason = Widen(failure.what());
  }
  err(std::u16string(kProgram) + u": cannot check the installation: " + reason + u"\r\n");
  if (json) out(FormatJsonFailure(reason, u"", kCheckCannotRun));
  return kCheckCannotRun;
}

}  // namespace vannix
