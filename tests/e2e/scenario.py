"""What the end-to-end scenarios share: a fresh prefix copy per test, the installer and the
installation check run in it, and assertions on the files and registrations they leave.

A test file subclasses Scenario and ends with scenario.main(__doc__, {program: default file}),
which parses --kind, --build-dir, --work-dir and one --<program> option per program (a path;
default: the file of that name in the build directory) into CFG.
"""
import argparse
import json
import os
import shutil
import sys
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine"))
import pefile  # noqa: E402
import winelab  # noqa: E402
from winelab import CATALOGUE, CLSIDS, FILE_NAMES  # noqa: E402

CFG = argparse.Namespace()

BASES = [b for b, _, _ in CATALOGUE]
SERVER_FILES = [b + e for b, e, r in CATALOGUE if r]


def file_of(base):
    return FILE_NAMES[BASES.index(base)]


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_or_none(path):
    """The bytes of the file at path, or None when there is none."""
    return read_bytes(path) if os.path.isfile(path) else None


def log(msg):
    print("[%s] %s" % (CFG.tag, msg), file=sys.stderr, flush=True)


class Scenario(unittest.TestCase):
    """Each test: a fresh prefix copy, seeded as the scenario needs, then the installer."""

    def setUp(self):
        self.clock = winelab.Stopwatch()
        self.prefix = winelab.Prefix.fresh_copy(
            CFG.kind, os.path.join(CFG.work_dir, "prefix-" + self._testMethodName))
        self.addCleanup(self.prefix.remove)     # copies never pile up, whatever happens
        self.variant = winelab.variant(CFG.kind)
        self.payload_dir = os.path.join(CFG.build_dir, "payload", self.variant)
        # Nothing of ours is in the pristine prefix; Wine's own msxml6 classes name Wine's file.
        reg = self.prefix.registry()
        for base in winelab.REGISTERED:
            if base in winelab.WINE_REGISTERS:
                self.assertEqual(reg.value(self.clsid_key(base) + "\\InprocServer32"),
                                 winelab.WINE_REGISTERS[base], base + " before the install")
            else:
                self.assertFalse(reg.has(self.clsid_key(base)),
                                 base + " registered before the install")
        self.assertFalse(reg.has(self.prefix.trace_root()))
        # Catalogue names a fresh system directory already has (Wine ships its own msxml6.dll).
        self.preexisting = {n for n in FILE_NAMES if os.path.exists(os.path.join(self.prefix.sysdir, n))}

    def tearDown(self):
        log("%s: %s" % (self._testMethodName, self.clock))

    # ---- running ----

    def binds(self, *exes):
        """The work directory and the directories of the installer, the check and `exes`."""
        dirs = [CFG.work_dir]
        for exe in (CFG.installer, CFG.check) + exes:
            d = os.path.dirname(os.path.abspath(exe))
            if d not in dirs:
                dirs.append(d)
        return dirs

    def shell(self, text, exes=(), what="shell", **run_options):
        """Runs shell text in the prefix; run_options: those of winelab.Prefix.run."""
        t = winelab.Stopwatch()
        rc, out = self.prefix.run(script=text, binds=self.binds(*exes), **run_options)
        log("  %s: exit code %d after %s" % (what, rc, t))
        return rc, out

    def run_installer(self, exe=None, **run_options):
        """run_options: those of winelab.Prefix.run (user, sysdir_free_mb...)."""
        exe = exe or CFG.installer
        t = winelab.Stopwatch()
        rc, out = self.prefix.run([exe], binds=self.binds(exe), **run_options)
        log("  %s: exit code %d after %s" % (os.path.basename(exe), rc, t))
        return rc, out

    def run_check(self, check=None, user=None, **run_options):
        """Runs the installation check with --json; returns (exit code, {file: (state,
        registration)}, the output). run_options: those of winelab.Prefix.run (dll_overrides...)."""
        check = check or CFG.check
        t = winelab.Stopwatch()
        rc, out = self.prefix.run([check, "--json"], binds=self.binds(check), user=user,
                                  **run_options)
        return rc, self.read_check_document(rc, out, "after %s" % t), out

    def read_check_document(self, rc, out, when=""):
        """The findings of the check's JSON document in `out`, logged where they are not ok."""
        document = winelab.check_document(out)
        self.assertIsNotNone(document, out)
        log("  setup_vannix_check: exit code %d %s; %s" % (rc, when, winelab.check_summary(document)))
        for f in document["files"]:
            if f["state"] != "ok" or f["registration"] == "not registered":
                missing = [c["clsid"] for c in f["classes"] or () if c["state"] != "registered"]
                log("    %s %s %s%s" % (f["state"], f["registration"] or "-", f["path"],
                                        "  (not registered: %s)" % ", ".join(missing) if missing else ""))
        self.assertEqual(document["exit_code"], rc, out)
        entries = winelab.check_findings(document)
        self.assertEqual(sorted(entries), sorted(FILE_NAMES), out)
        return entries

    def check_text(self, check=None, user=None, **run_options):
        """The check's text output, as a user reads it (what the JSON leaves to the text)."""
        check = check or CFG.check
        return self.prefix.run([check], binds=self.binds(check), user=user, **run_options)[1]

    # ---- what is where ----

    def payload_record(self):
        """The entries of the build's payload record (resources/payload.json), its classes among
        them."""
        with open(os.path.join(CFG.build_dir, "resources", "payload.json"), encoding="ascii") as f:
            return json.load(f)["payload"]

    def payload(self, file_name):
        return read_bytes(os.path.join(self.payload_dir, file_name))

    def sysdir_path(self, file_name):
        return os.path.join(self.prefix.sysdir, file_name)

    def installed(self, file_name):
        return read_bytes(self.sysdir_path(file_name))

    def clsid_key(self, base):
        return self.prefix.clsid_root() + "\\" + CLSIDS[base]

    def trace_key(self, base):
        return self.prefix.trace_root() + "\\" + base

    def snapshot(self, directory=None):
        """{catalogue file name: its bytes in directory (default: the system directory), or None}."""
        directory = directory or self.prefix.sysdir
        return {n: read_or_none(os.path.join(directory, n)) for n in FILE_NAMES}

    def work_file(self, name):
        """A path in the work directory, named for the test, with nothing at it yet."""
        path = os.path.join(CFG.work_dir, self._testMethodName + "-" + name)
        if os.path.exists(path):
            os.remove(path)
        return path

    def fresh_work_dir(self, name):
        """An empty directory in the work directory, removed after the test."""
        path = os.path.join(CFG.work_dir, name)
        winelab.remove_tree(path)
        os.makedirs(path)
        self.addCleanup(winelab.remove_tree, path)
        return path

    def leftover_temporaries(self):
        return sorted(n for n in os.listdir(self.prefix.sysdir)
                      if n.lower().endswith((".vannix-new", ".vannix-next", ".vannix-old",
                                             ".vannix-task.xml")))

    # ---- assertions ----

    def assert_installed(self, file_names):
        """Each file is in the system directory under its catalogue name, as its payload's bytes."""
        present = set(os.listdir(self.prefix.sysdir))
        for name in file_names:
            with self.subTest(file=name):
                self.assertIn(name, present, "%s not in %s" % (name, self.prefix.sysdir))
                self.assert_same_bytes(self.installed(name), self.payload(name),
                                       "%s vs its %s-bit payload" % (name, self.variant))
        if CFG.kind == "win64":
            # The two OpenSSL libraries of the 64-bit variant are AMD64 images.
            for name in ("ssleay32.dll", "libeay32.dll"):
                if name in file_names:
                    machine = pefile.PE(data=self.installed(name), fast_load=True).FILE_HEADER.Machine
                    self.assertEqual(machine, 0x8664, name)

    def assert_same_bytes(self, actual, expected, what):
        if actual != expected:
            at = next((i for i, (a, b) in enumerate(zip(actual, expected)) if a != b),
                      min(len(actual), len(expected)))
            self.fail("%s: %d bytes instead of %d, first difference at offset %d"
                      % (what, len(actual), len(expected), at))

    def assert_no_leftover(self):
        self.assertEqual(self.leftover_temporaries(), [], "temporary files left behind")

    def assert_registered(self, bases, first_sequence=1):
        """bases registered one after the other, in this order, each at its installed path."""
        reg = self.prefix.registry()
        for i, base in enumerate(bases):
            with self.subTest(registered=base):
                server = reg.value(self.clsid_key(base) + "\\InprocServer32")
                self.assertIsNotNone(server, base + ": class not registered")
                self.assertEqual(server.lower(), self.prefix.installed_path(file_of(base)).lower())
                trace = reg.values(self.trace_key(base))
                self.assertIsNotNone(trace, base + ": DllRegisterServer never ran")
                self.assertEqual(trace.get("sequence"), first_sequence + i,
                                 base + ": registered out of order")
                self.assertEqual(trace.get("path", "").lower(),
                                 self.prefix.installed_path(file_of(base)).lower())
        return reg

    def assert_registered_before_next_file(self, reg, bases):
        """While an entry registered, the files of the entries up to it were there, and no later
        one (unless the fresh system already had it)."""
        for base in bases:
            k = BASES.index(base)
            with self.subTest(seen_files=base):
                seen = reg.value(self.trace_key(base), "SeenFiles")
                expected = [n for i, n in enumerate(FILE_NAMES) if i <= k or n in self.preexisting]
                self.assertEqual(seen, " ".join(expected))

    def assert_not_registered(self, reg, base):
        self.assertIsNone(reg.values(self.trace_key(base)), base + ": a registration ran")
        self.assertFalse(reg.has(self.clsid_key(base)), base + ": class registered")

    def assert_check(self, differs=(), missing=(), not_registered=(), check=None, user=None,
                     windows=(), pending=(), after_restart=(), **run_options):
        """The check's verdict: the files named here as said (windows: Windows' own), every other
        one ok and, where it is a server, registered; exit code 0 when nothing is named but
        Windows' own files, 3010 when only pending replacements and registrations after the
        restart are, else 1. Returns its output."""
        rc, entries, out = self.run_check(check, user, **run_options)
        return self.assert_check_said(rc, entries, out, differs, missing, not_registered, windows,
                                      pending, after_restart)

    def install_beside_a_holder(self, held, stop_w, tag, release=None, runs=1):
        """Runs the installer `runs` times, then check_in_session's check, while vannix_hold_open
        holds `held` (a file of the system directory) without sharing, from before the installer
        starts until the file STOP_W (a Windows path) exists. `release`: the host path of STOP_W,
        then created after the check, the holder's exit code printed ("holder exit N"). Each run
        prints "installer exit N". Returns (the last run's exit code, output)."""
        ready = self.work_file(tag + "-ready")
        let_go = ("touch '%s'; hrc=0; wait $holder || hrc=$?\necho \"holder exit $hrc\"\n" % release
                  if release else "")
        return self.shell("""
wine '%(hold)s' '%(held_w)s' '%(ready_w)s' '%(stop_w)s' & holder=$!
%(wait_ready)s
[ -e '%(ready)s' ] || { echo "holder did not start"; exit 120; }
for run in %(runs)s; do rc=0; wine '%(setup)s' || rc=$?; echo "installer exit $rc"; done
%(check)s%(let_go)sexit $rc
""" % dict(hold=CFG.hold_open, held_w=winelab.windows_path(self.sysdir_path(held)),
           ready=ready, ready_w=winelab.windows_path(ready), stop_w=stop_w, setup=CFG.installer,
           wait_ready=winelab.shell_wait_until("[ -e '%s' ]" % ready), runs=" ".join("x" * runs),
           check=self.check_in_session(), let_go=let_go),
            exes=(CFG.hold_open, CFG.launch), what="installer beside a holder of " + held)

    # ---- Windows' Task Scheduler, stood in for ----

    def use_scheduler_standin(self):
        """The stand-in schtasks.exe (tests/e2e/schtasks_standin.c) in the system directory for
        32-bit programs, where the installer starts it: it keeps each task as Windows does.
        Wine runs its own builtin of a system program's name unless told otherwise."""
        shutil.copy(CFG.schtasks, self.sysdir_path("schtasks.exe"))
        self.prefix.dll_overrides += ";schtasks.exe=n"

    def scheduler_store(self):
        return os.path.join(self.prefix.path, "drive_c", "vannix-scheduler")

    def scheduled_tasks(self):
        """{task name: its definition's root element} of the installer's tasks that the
        stand-in keeps, where Windows keeps them (the native system32\\Tasks)."""
        tasks = os.path.join(self.prefix.path, "drive_c", "windows", "system32", "tasks")
        names = sorted(os.listdir(tasks)) if os.path.isdir(tasks) else []
        return {n: ET.fromstring(read_bytes(os.path.join(tasks, n)))
                for n in names if n.startswith("setup_vannix ")}

    def scheduler_log(self):
        """The stand-in's calls, one "create NAME" or "delete NAME" each."""
        path = os.path.join(self.scheduler_store(), "log.txt")
        return read_bytes(path).decode().splitlines() if os.path.exists(path) else []

    def restart(self):
        """Windows restarts: Session Manager makes the renames it was given (wineboot -r)."""
        rc, out = self.shell("wine wineboot -r; echo \"wineboot exit $?\"", what="wineboot -r")
        self.assertIn("wineboot exit 0", out)
        return out

    def run_start_up_tasks(self):
        """What Task Scheduler does when Windows has started: each kept task with an enabled
        boot trigger and the SYSTEM account runs its actions in order, each waited for, with its
        arguments and in its working directory (here as the Wine user, not SYSTEM). Returns the
        output; every action prints "launch: exit=N"."""
        ns = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
        lines = []
        for k, (name, task) in enumerate(self.scheduled_tasks().items()):
            trigger = task.find("t:Triggers/t:BootTrigger", ns)
            self.assertIsNotNone(trigger, name + ": no start-up trigger")
            self.assertNotEqual(trigger.findtext("t:Enabled", "true", ns), "false", name)
            self.assertEqual(task.findtext("t:Principals/t:Principal/t:UserId", None, ns), "S-1-5-18",
                             name + ": not run as SYSTEM")
            self.assertNotEqual(task.findtext("t:Settings/t:Enabled", "true", ns), "false", name)
            for i, action in enumerate(task.findall("t:Actions/t:Exec", ns)):
                line = self.work_file("task-%d-%d" % (k, i))
                with open(line, "w", encoding="utf-8") as f:
                    f.write('"%s" %s' % (action.findtext("t:Command", "", ns),
                                         action.findtext("t:Arguments", "", ns)))
                cwd = action.findtext("t:WorkingDirectory", None, ns)
                lines.append("wine '%s' %s'/cmdfile:%s'" % (
                    CFG.launch, "'/cwd:%s' " % cwd if cwd else "", winelab.windows_path(line)))
        rc, out = self.shell("\n".join(lines) or "true", exes=(CFG.launch,), what="start-up tasks")
        return out

    def check_in_session(self):
        """Shell text that runs the check in the same Wine session as what came before (a new
        session starts with wineboot, which makes the renames scheduled for a restart), through
        vannix_launch, which prints the whole exit code (a shell sees 3010 as 194)."""
        return "wine '%s' '%s' --json\n" % (CFG.launch, CFG.check)

    def assert_check_in_session_said(self, out, **expected):
        """The verdict of check_in_session's check in the output `out`: as assert_check."""
        rc = int(out.split("launch: exit=")[1].split()[0])
        entries = self.read_check_document(rc, out, "(in the session)")
        return self.assert_check_said(rc, entries, out, **expected)

    def assert_check_said(self, rc, entries, out, differs=(), missing=(), not_registered=(),
                          windows=(), pending=(), after_restart=()):
        for name in FILE_NAMES:
            with self.subTest(check=name):
                state = ("missing" if name in missing else "differs" if name in differs else
                         "windows" if name in windows else "pending" if name in pending else "ok")
                registration = ("-" if name not in SERVER_FILES else
                                "not registered" if name in not_registered or name in missing
                                else "after restart" if name in after_restart else "registered")
                self.assertEqual(entries[name], (state, registration), out)
        self.assertEqual(rc, 1 if (differs or missing or not_registered) else
                         3010 if (pending or after_restart) else 0, out)
        return out


def main(doc, programs, default_kind=None, work_name=None):
    """Parses the command line into CFG and runs the tests of the calling module.
    programs: {name: default file name in the build directory}; default_kind: the kind when
    --kind is not given (None: it must be); work_name(kind): the default work directory's name
    under <build>/e2e/ (default: the kind)."""
    ap = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--kind", choices=sorted(winelab.KINDS), required=default_kind is None,
                    default=default_kind)
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--work-dir")
    for name in programs:
        ap.add_argument("--" + name.replace("_", "-"))
    args, rest = ap.parse_known_args()
    b = os.path.abspath(args.build_dir)
    CFG.kind = args.kind
    CFG.build_dir = b
    CFG.tag = work_name(args.kind) if work_name else args.kind
    CFG.work_dir = os.path.abspath(args.work_dir or os.path.join(b, "e2e", CFG.tag))
    for name, default in programs.items():
        path = os.path.abspath(getattr(args, name) or os.path.join(b, default))
        if not os.path.isfile(path):
            sys.exit("missing %s (build it first)" % path)
        setattr(CFG, name, path)
    os.makedirs(CFG.work_dir, exist_ok=True)
    clock = winelab.Stopwatch()
    prog = unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2, exit=False)
    log("all scenarios: %s" % clock)
    sys.exit(0 if prog.result.wasSuccessful() else 1)
