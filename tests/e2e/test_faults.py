#!/usr/bin/python3
"""The installer's promises on a real filesystem, under Wine: no half-written file, nothing left
behind, the earlier file intact when a copy fails, a second run completes what the first could
not; and the installation check tells each outcome as it is, files that Windows owns included.

    test_faults.py --build-dir DIR [--kind win64|win32] [--work-dir DIR] [--<program> EXE ...]
                   [unittest options]

A WOW64 prefix by default (what is shown here does not depend on the kind). Every scenario runs
on its own fresh copy of the pristine prefix. The size-faithful installer and its check are the
build's e2e-size-faithful/ programs (cmake/wine_tests.cmake): the sample components padded to
the real components' sizes, so that a nearly full disk and a cut medium meet real file sizes.
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenario  # noqa: E402
from scenario import CFG, SERVER_FILES, file_of, log, read_bytes  # noqa: E402
from scenario import winelab  # noqa: E402
from winelab import FILE_NAMES, REGISTERED  # noqa: E402

import pefile  # noqa: E402

PAGE = 4096
BIG = "KorviGovX.ocx"   # 16 MiB in the size-faithful payload: the entry that cannot fit
# A directory whose name a caller may well have: spaces and letters outside ASCII.
ODD_DIRECTORY = "Programme Installation – Ålesund 安装"
ARGUMENTS = ["/S", "/D=C:\\Program Files\\Vannix", "--quiet", "two words", "ärger"]
# The files Windows owns on current systems, and the newer build of them that it ships.
WINDOWS_OWN = ["msxml6.dll", "msxml6r.dll"]
WINDOWS_VERSION = (6, 30, 19041, 5794)
RUN_ONCE = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"


def with_file_version(data, version):
    """An image's bytes with another file version in its VS_FIXEDFILEINFO."""
    pe = pefile.PE(data=data)
    [fixed] = pe.VS_FIXEDFILEINFO[:1]
    fixed.FileVersionMS = version[0] << 16 | version[1]
    fixed.FileVersionLS = version[2] << 16 | version[3]
    return bytes(pe.write())


def payload_layout(image, variant):
    """{file name: (first, end)} file offsets of each payload of `variant` in `image`, and the
    file offset at which its resource section starts."""
    pe = pefile.PE(image, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    names = {("%s_%s" % (variant, f.rsplit(".", 1)[0])).upper(): f for f in FILE_NAMES}
    layout = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != pefile.RESOURCE_TYPE["RT_RCDATA"]:
            continue
        for entry in kind.directory.entries:
            if entry.name is not None and str(entry.name) in names:
                data = entry.directory.entries[0].data.struct
                first = pe.get_offset_from_rva(data.OffsetToData)
                layout[names[str(entry.name)]] = (first, first + data.Size)
    rsrc = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc")
    return layout, rsrc.PointerToRawData


class FaultsUnderWine(scenario.Scenario):

    # ---- helpers ----

    def size_faithful(self):
        """Switches the test to the size-faithful payload; returns (installer, check)."""
        self.payload_dir = os.path.join(os.path.dirname(CFG.sf_installer), "payload", self.variant)
        return CFG.sf_installer, CFG.sf_check

    def place_file(self, file_name, data, mode=None):
        """Writes a file into the system directory before a run (mode: its Unix mode)."""
        path = self.sysdir_path(file_name)
        with open(path, "wb") as f:
            f.write(data)
        if mode is not None:
            os.chmod(path, mode)

    def assert_whole_or_as_before(self, before):
        """Every file is its payload, or exactly what it was before (absent, or the earlier
        bytes), never anything in between. Returns (names installed, names as before)."""
        installed, kept = [], []
        after = self.snapshot()
        for name, earlier in before.items():
            now = after[name]
            if now is not None and now == self.payload(name) and now != earlier:
                installed.append(name)
                continue
            with self.subTest(as_before=name):
                if earlier is None:
                    self.assertIsNone(now, "%s: %d bytes, neither its payload nor absent as before"
                                      % (name, len(now or b"")))
                else:
                    self.assertIsNotNone(now, name + " removed")
                    self.assert_same_bytes(now, earlier, name + " vs its earlier bytes")
            kept.append(name)
        return installed, kept

    def assert_registered_where_present(self, first_sequence=1):
        """The servers whose file is there registered in catalogue order; the others not at all."""
        present = [b for b in REGISTERED if os.path.isfile(self.sysdir_path(file_of(b)))]
        reg = self.assert_registered(present, first_sequence)
        for base in REGISTERED:
            if base not in present:
                self.assert_not_registered(reg, base)
        return present

    # ---- scenarios ----

    def test_disk_full_then_room(self):
        """20 MiB free for the 40 MB payload: exit 0, every file whole or absent, none left
        half-written, the servers that are there registered, the check naming exactly what is
        missing; a second run with room completes the installation."""
        installer, check = self.size_faithful()
        before = self.snapshot()
        rc, out = self.run_installer(installer, sysdir_free_mb=20)
        self.assertIn(" 20480 KiB free", out)
        self.assertEqual(rc, 0, out)
        installed, kept = self.assert_whole_or_as_before(before)
        missing = [n for n in kept if before[n] is None]
        log("  installed %s; missing %s" % (installed, missing))
        # 16 MiB cannot fit once the first entries took their room; a later, smaller one can.
        self.assertIn(BIG, missing)
        self.assertTrue(set(installed) & set(FILE_NAMES[FILE_NAMES.index(BIG) + 1:]), installed)
        self.assert_no_leftover()
        registered = self.assert_registered_where_present()
        self.assert_check(missing=missing, differs=[n for n in kept if before[n] is not None],
                          check=check)

        rc, out = self.run_installer(installer)
        self.assertEqual(rc, 0, out)
        self.assert_installed(FILE_NAMES)
        self.assert_no_leftover()
        self.assert_registered(REGISTERED, first_sequence=len(registered) + 1)
        self.assert_check(check=check)

    def test_no_room_beside_an_earlier_big_file(self):
        """An earlier version of the big entry, no room for its replacement beside it: the
        earlier file stays whole (and, a server itself, registered); the check says differs."""
        installer, check = self.size_faithful()
        earlier = read_bytes(os.path.join(CFG.build_dir, "payload", self.variant, BIG))
        earlier += bytes(range(256)) * (12 << 12)   # 12 MiB more, as a bigger earlier build
        self.place_file(BIG, earlier)
        before = self.snapshot()
        rc, out = self.run_installer(installer, sysdir_free_mb=20)
        self.assertEqual(rc, 0, out)
        installed, kept = self.assert_whole_or_as_before(before)
        self.assertIn(BIG, kept)
        self.assert_same_bytes(self.installed(BIG), earlier, BIG + " after the run")
        self.assert_no_leftover()
        self.assertIn("KorviGovX", self.assert_registered_where_present())
        self.assert_check(missing=[n for n in kept if before[n] is None],
                          differs=[n for n in kept if before[n] is not None], check=check)

    def test_leftovers_of_an_interrupted_run(self):
        """Every target's staging and replacement names already taken by other bytes, one of
        each read-only: all entries installed, nothing left. As an ordinary user, since root may
        write over a read-only file where Windows refuses."""
        for i, name in enumerate(FILE_NAMES):
            for suffix in (".vannix-new", ".vannix-next"):
                self.place_file(name + suffix, b"left by an interrupted run %d\r\n" % i * 4096)
        for read_only in (FILE_NAMES[0] + ".vannix-new", FILE_NAMES[1] + ".vannix-next"):
            os.chmod(self.sysdir_path(read_only), 0o444)
        rc, out = self.run_installer(user=winelab.ORDINARY_USER)
        self.assertEqual(rc, 0, out)
        self.assert_installed(FILE_NAMES)
        self.assert_no_leftover()
        # Root could have written over the read-only leftover and renamed it into place,
        # read-only; the installer clears the attribute first.
        for name in FILE_NAMES:
            self.assertNotEqual(os.stat(self.sysdir_path(name)).st_mode & 0o222, 0, name + " read-only")
        self.assert_registered(REGISTERED)
        self.assert_check(user=winelab.ORDINARY_USER)

    def test_two_installers_at_once(self):
        """Two size-faithful installers started together in one prefix: both exit 0, every
        file is its payload, the six servers registered, no temporary left."""
        installer, check = self.size_faithful()
        rc, out = self.shell("""
wine '%(exe)s' & a=$!
wine '%(exe)s' & b=$!
ra=0; wait $a || ra=$?
rb=0; wait $b || rb=$?
echo "installers exit $ra $rb"
""" % dict(exe=installer), exes=(installer,))
        self.assertIn("installers exit 0 0", out)
        self.assert_installed(FILE_NAMES)
        self.assert_no_leftover()
        reg = self.prefix.registry()
        for base in REGISTERED:
            with self.subTest(registered=base):
                path = self.prefix.installed_path(file_of(base)).lower()
                self.assertEqual((reg.value(self.clsid_key(base) + "\\InprocServer32") or "").lower(), path)
                self.assertEqual((reg.value(self.trace_key(base), "Path") or "").lower(), path)
        # Each server at least once, at most once per installer.
        counter = reg.value(self.prefix.trace_root(), "Counter")
        log("  registrations: %s" % counter)
        self.assertTrue(len(REGISTERED) <= counter <= 2 * len(REGISTERED), counter)
        self.assert_check(check=check)

    def test_read_only_target(self):
        """A read-only target with earlier bytes (the other variant's file) stays as it was;
        every other entry is installed; exit 0; the check says differs. As an ordinary user,
        as on Windows."""
        target = "stdvcl40.dll"
        other = {"64": "32", "32": "64"}[self.variant]
        earlier = read_bytes(os.path.join(CFG.build_dir, "payload", other, target))
        self.assertNotEqual(earlier, self.payload(target))
        self.place_file(target, earlier, mode=0o444)
        rc, out = self.run_installer(user=winelab.ORDINARY_USER)
        self.assertEqual(rc, 0, out)
        self.assert_same_bytes(self.installed(target), earlier, target + " (read-only)")
        self.assertEqual(os.stat(self.sysdir_path(target)).st_mode & 0o222, 0, "no longer read-only")
        self.assert_installed([n for n in FILE_NAMES if n != target])
        self.assert_no_leftover()
        # The earlier file is a server of the same class: regsvr32 registered it where it is.
        self.assert_registered(REGISTERED)
        self.assert_check(differs=[target], user=winelab.ORDINARY_USER)

    def test_files_windows_owns(self):
        """Windows protects msxml6.dll and msxml6r.dll (the stand-in sfc.dll says so) and leaves
        them unreplaceable to administrators (an ordinary user's read-only files, owned by
        another user), each a newer build than the payload's: the installer exits 0 and leaves
        them as they are; the check names them as Windows' own with both versions and exits 0.
        Without the stand-in (Wine's sfc protects nothing) the same files differ: exit 1."""
        windows_dlls = "msxml6=n;sfc=n"
        shutil.copy(CFG.sfc, self.sysdir_path("sfc.dll"))
        subprocess.run(["chown", "-R", "%d:%d" % ((winelab.ORDINARY_USER,) * 2), self.prefix.path],
                       check=True)
        own = {}
        for name in WINDOWS_OWN:
            own[name] = with_file_version(self.payload(name), WINDOWS_VERSION)
            self.place_file(name, own[name], mode=0o444)
            os.chown(self.sysdir_path(name), 0, 0)    # TrustedInstaller's, as it were
        rc, out = self.run_installer(user=winelab.ORDINARY_USER, dll_overrides=windows_dlls)
        self.assertEqual(rc, 0, out)
        for name in WINDOWS_OWN:
            self.assert_same_bytes(self.installed(name), own[name], name + " (Windows' own)")
        self.assert_installed([n for n in FILE_NAMES if n not in WINDOWS_OWN])
        self.assert_no_leftover()
        # regsvr32 registered the file that is there: the same server, Windows' build.
        self.assert_registered(REGISTERED)

        self.assert_check(windows=WINDOWS_OWN, user=winelab.ORDINARY_USER,
                          dll_overrides=windows_dlls)
        out = self.check_text(user=winelab.ORDINARY_USER, dll_overrides=windows_dlls)
        log("  check output:\n" + out)
        shown = "%d.%d.%d.%d" % WINDOWS_VERSION
        carried = {n: pefile.PE(data=self.payload(n)).VS_FIXEDFILEINFO[0] for n in WINDOWS_OWN}
        for name, fixed in carried.items():
            release = "%d.%d.%d.%d" % (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                                       fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF)
            self.assertIn("\\%s  (version %s; this release carries %s)" % (name, shown, release),
                          out)
        self.assertIn(", 2 owned by Windows, 6 of 6 servers registered", out)

        # Wine's builtin sfc instead of the stand-in.
        self.assert_check(differs=WINDOWS_OWN, user=winelab.ORDINARY_USER,
                          dll_overrides="msxml6=n;sfc=b")

    def pending_renames(self):
        return self.prefix.registry().value("System\\ControlSet001\\Control\\Session Manager",
                                            "PendingFileRenameOperations")

    def test_held_through_two_runs_then_windows_starts_again(self):
        """A server held open without sharing through two runs, its earlier file one that
        registers nothing: exit 0 both times, the target unchanged, its replacement kept beside
        it, one rename in Windows' list and one start-up task (the second run schedules nothing
        twice), no RunOnce value; the check exits 3010 (pending, after restart). The restart makes
        the rename; while the start-up task has not run, the check says not registered (exit 1,
        never 3010 again). The task runs (no logon): registered, the task gone, check exit 0."""
        held = "KorviDataSetX.dll"
        task = "setup_vannix " + held
        self.use_scheduler_standin()
        earlier = b"an earlier file that registers nothing\r\n" * 1000
        self.place_file(held, earlier)
        stop = self.work_file("stop")
        # The holder stays until after the runs: it ends when the prefix's programs are ended.
        rc, out = self.install_beside_a_holder(held, winelab.windows_path(stop), "whole-run", runs=2)
        self.assertEqual(out.count("installer exit 0"), 2, out)
        self.assert_same_bytes(self.installed(held), earlier, held + " held")
        self.assertEqual(self.leftover_temporaries(), [held + ".vannix-new"])
        self.assert_same_bytes(read_bytes(self.sysdir_path(held + ".vannix-new")), self.payload(held),
                               held + "'s replacement")
        self.assert_installed([n for n in FILE_NAMES if n != held])
        pending = self.pending_renames()
        log("  PendingFileRenameOperations: %r" % pending)
        path = self.prefix.installed_path(held)
        self.assertEqual([p.lower() for p in pending.rstrip("\0").split("\0")],
                         [("\\??\\" + path + ".vannix-new").lower(), ("!\\??\\" + path).lower()])
        self.assertEqual(list(self.scheduled_tasks()), [task])
        self.assertEqual(self.scheduler_log(), ["create " + task] * 2)
        self.assertIsNone(self.prefix.registry().value(RUN_ONCE, task))
        # Checked before the session ends: Wine's next session starts with wineboot, which
        # makes the scheduled renames as Windows does when it starts again.
        self.assert_check_in_session_said(out, pending=[held], after_restart=[held])

        self.restart()
        self.assert_installed(FILE_NAMES)
        self.assertIsNone(self.pending_renames())
        out = self.assert_check(not_registered=[held])
        log("  the check after the restart, its task not run yet:\n" + out)

        out = self.run_start_up_tasks()
        self.assertEqual(out.count("launch: exit=0"), 2, out)
        self.assertEqual(self.scheduled_tasks(), {})
        self.assertEqual(self.scheduler_log()[-1], "delete " + task)
        self.assert_no_leftover()
        reg = self.prefix.registry()
        for base in REGISTERED:
            with self.subTest(registered=base):
                installed = self.prefix.installed_path(file_of(base)).lower()
                self.assertEqual((reg.value(self.clsid_key(base) + "\\InprocServer32") or "").lower(), installed)
                self.assertEqual((reg.value(self.trace_key(base), "Path") or "").lower(), installed)
        self.assertIsNone(reg.value(RUN_ONCE, task))
        out = self.assert_check()
        log("  the check after the start-up task:\n" + out)

    def test_run_killed_mid_copy_after_a_scheduled_rename(self):
        """KorviGovX.ocx held through a first run (its rename scheduled), free for a second
        (replaced at once; the rename stays in Windows' list, with no source now), a third run
        killed while it writes it: the restart leaves the target whole, this release's file,
        and the check exits 0 beside the third run's partial copy."""
        installer, check = self.size_faithful()
        self.use_scheduler_standin()
        self.place_file(BIG, b"an earlier control\r\n" * 1000)
        ready, stop = self.work_file("ready"), self.work_file("stop")
        staging = self.sysdir_path(BIG + ".vannix-next")
        rc, out = self.shell("""
wine '%(hold)s' '%(held_w)s' '%(ready_w)s' '%(stop_w)s' & holder=$!
%(wait_ready)s
rc=0; wine '%(setup)s' || rc=$?; echo "run 1 exit $rc"
touch '%(stop)s'; wait $holder
rc=0; wine '%(setup)s' || rc=$?; echo "run 2 exit $rc"
wine '%(setup)s' & run=$!
while ! [ -s '%(staging)s' ] && kill -0 $run 2>/dev/null; do :; done
kill -STOP $run; kill -KILL $run; wait $run
echo "run 3 killed"
wine wineboot -r; echo "wineboot exit $?"
""" % dict(hold=CFG.hold_open, held_w=winelab.windows_path(self.sysdir_path(BIG)), ready=ready,
           ready_w=winelab.windows_path(ready), stop=stop, stop_w=winelab.windows_path(stop),
           wait_ready=winelab.shell_wait_until("[ -e '%s' ]" % ready), setup=installer,
           staging=staging), exes=(installer, CFG.hold_open), what="three runs and a restart")
        for line in ("run 1 exit 0", "run 2 exit 0", "run 3 killed", "wineboot exit 0"):
            self.assertIn(line, out)
        written = os.path.getsize(staging) if os.path.exists(staging) else None
        log("  run 3 killed after %s of %d bytes" % (written, len(self.payload(BIG))))
        self.assertTrue(written and written < len(self.payload(BIG)), "run 3 was not killed mid-copy")
        self.assert_same_bytes(self.installed(BIG), self.payload(BIG), BIG + " after the restart")
        self.assertFalse(os.path.exists(self.sysdir_path(BIG + ".vannix-new")))
        # The first run's start-up task stayed with its rename, listed until the restart; it
        # registers the file in place and removes itself.
        self.assertEqual(list(self.scheduled_tasks()), ["setup_vannix " + BIG])
        out = self.run_start_up_tasks()
        self.assertEqual(out.count("launch: exit=0"), 2, out)
        self.assertEqual(self.scheduled_tasks(), {})
        self.assert_check(check=check)

    def test_registration_kept_through_three_runs_and_a_stop(self):
        """KorviX.dll held through a first run (its start-up task and rename scheduled), free for
        a second (replaced at once; its rename stays listed without a source, and so does the
        task); then another product's uninstaller unregisters it (regsvr32 /u) and puts a copy of
        its own in place, which a program holds through a third run, killed as soon as its copy
        waits beside the target under the name the listed rename names. After the restart and
        the start-up tasks the server is this release's file, registered (check exit 0); a
        fourth run with nothing held leaves no work file."""
        held = "KorviX.dll"
        task = "setup_vannix " + held
        self.use_scheduler_standin()
        self.place_file(held, b"an earlier file that registers nothing\r\n" * 1000)
        files = {k: self.work_file(k) for k in ("ready1", "stop1", "ready3", "stop3")}
        waiting = self.sysdir_path(held + ".vannix-new")
        rc, out = self.shell("""
wine '%(hold)s' '%(held_w)s' '%(ready1_w)s' '%(stop1_w)s' & holder=$!
%(wait_ready1)s
rc=0; wine '%(setup)s' || rc=$?; echo "run 1 exit $rc"
touch '%(stop1)s'; wait $holder
rc=0; wine '%(setup)s' || rc=$?; echo "run 2 exit $rc"
[ -e '%(waiting)s' ] && echo "a waiting copy after run 2"
wine regsvr32 /u /s '%(held_w)s'; echo "unregistered: exit $?"
printf 'another product\\r\\n%%.0s' $(seq 1000) > '%(held)s'
wine '%(hold)s' '%(held_w)s' '%(ready3_w)s' '%(stop3_w)s' & holder=$!
%(wait_ready3)s
wine '%(setup)s' & run=$!
while ! [ -e '%(waiting)s' ] && kill -0 $run 2>/dev/null; do :; done
kill -KILL $run 2>/dev/null && echo "run 3 killed with its copy waiting"; wait $run
touch '%(stop3)s'; wait $holder
""" % dict(hold=CFG.hold_open, held=self.sysdir_path(held),
           held_w=winelab.windows_path(self.sysdir_path(held)), setup=CFG.installer,
           waiting=waiting, **{k: v for k, v in files.items()},
           **{k + "_w": winelab.windows_path(v) for k, v in files.items()},
           wait_ready1=winelab.shell_wait_until("[ -e '%s' ]" % files["ready1"]),
           wait_ready3=winelab.shell_wait_until("[ -e '%s' ]" % files["ready3"])),
            exes=(CFG.hold_open,), what="three runs, the third killed")
        for line in ("run 1 exit 0", "run 2 exit 0", "unregistered: exit 0",
                     "run 3 killed with its copy waiting"):
            self.assertIn(line, out)
        self.assertNotIn("a waiting copy after run 2", out)
        self.assertEqual(self.prefix.registry().value(self.clsid_key("KorviX") + "\\InprocServer32"),
                         None, "the uninstaller left the class")
        log("  PendingFileRenameOperations: %r" % self.pending_renames())
        self.assertEqual(list(self.scheduled_tasks()), [task])

        self.restart()
        self.run_start_up_tasks()
        self.assert_installed([held])
        self.assertEqual(self.scheduled_tasks(), {})
        out = self.assert_check()
        log("  the check after the restart and the start-up task:\n" + out)

        rc, out = self.run_installer()
        self.assertEqual(rc, 0, out)
        self.assert_no_leftover()
        self.assertEqual(self.scheduled_tasks(), {})
        self.assert_check()

    def test_target_whose_replacement_is_refused(self):
        """ssleay32.dll may not be replaced at all: immutable (neither read-only nor Windows'
        own, and nothing holds it), as a file whose ACL denies its deletion is on Windows. Never
        waited for nor scheduled, nothing left beside it, the others installed, exit 0; the
        check says differs (exit 1)."""
        target = "ssleay32.dll"
        other = {"64": "32", "32": "64"}[self.variant]
        earlier = read_bytes(os.path.join(CFG.build_dir, "payload", other, target))
        self.place_file(target, earlier)
        subprocess.run(["chattr", "+i", self.sysdir_path(target)], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-i", self.sysdir_path(target)])
        self.use_scheduler_standin()
        rc, out = self.run_installer()
        self.assertEqual(rc, 0, out)
        self.assert_same_bytes(self.installed(target), earlier, target + " (refused)")
        self.assert_installed([n for n in FILE_NAMES if n != target])
        self.assert_no_leftover()
        self.assertIsNone(self.pending_renames())
        self.assertEqual(self.scheduler_log(), [])
        self.assert_check(differs=[target])

    def test_holder_that_lets_go(self):
        """A holder that lets go as soon as the installer writes beside the target (its stop
        file is the staging copy): replaced within the same run, nothing scheduled, check exit
        0."""
        held = "KorviX.dll"
        self.place_file(held, b"an earlier file\r\n" * 1000)
        stop_w = self.prefix.installed_path(held) + ".vannix-next"
        rc, out = self.install_beside_a_holder(held, stop_w, "lets-go")
        self.assertEqual(rc, 0, out)
        self.assert_installed(FILE_NAMES)
        self.assert_no_leftover()
        self.assertIsNone(self.pending_renames())
        self.assert_check_in_session_said(out)
        self.assert_registered(REGISTERED)

    def watched_launch(self, exe, show, tag):
        """Starts `exe` with ARGUMENTS through vannix_launch with a show-window value, in its
        own directory, under the window watcher and beside the dismisser; then, as the watcher's
        proof of life, the failure-path build, whose box the watcher must see. Returns (the
        launched program's exit code, the windows shown, the watcher's count)."""
        watch_log, dismiss_log, stop = (self.work_file(tag + "-" + n) for n in ("windows", "boxes", "stop"))
        exe_w = winelab.windows_path(exe)
        args = " ".join("'%s'" % a for a in ARGUMENTS)
        rc, out = self.shell("""
wine '%(watch)s' '%(watch_log_w)s' '%(stop_w)s' & w=$!
%(wait_watcher)s
wine '%(dismiss)s' '%(dismiss_log_w)s' '%(stop_w)s' '/after:%(watch_log_w)s' & d=$!
wine '%(launch)s' /show:%(show)s '/cwd:%(cwd_w)s' '%(exe_w)s' %(args)s
wine '%(failtest)s'; echo "control exit $?"
touch '%(stop)s'; wait $w $d
""" % dict(watch=CFG.watch_windows, watch_log_w=winelab.windows_path(watch_log),
           stop=stop, stop_w=winelab.windows_path(stop), dismiss=CFG.dismiss,
           wait_watcher=winelab.shell_wait_until("[ -s '%s' ]" % watch_log),
           dismiss_log_w=winelab.windows_path(dismiss_log), launch=CFG.launch, show=show,
           cwd_w=exe_w.rsplit("\\", 1)[0], exe_w=exe_w, args=args, failtest=CFG.failtest),
            exes=(exe, CFG.watch_windows, CFG.dismiss, CFG.launch, CFG.failtest))
        with open(watch_log, encoding="utf-8") as f:
            lines = [ln.rstrip("\n").split("\t") for ln in f]
        log("  watcher: %r" % lines)
        launched = [ln for ln in out.splitlines() if ln.startswith("launch: exit=")]
        self.assertEqual(len(launched), 1, out)
        self.assertIn("control exit 1", out)
        shown = [(ln[4], ln[5], ln[6]) for ln in lines if ln[0] == "shown"]
        # Not even a window that never became visible, or was gone before it was looked at.
        own = [ln for ln in lines if len(ln) > 4 and ln[4] == os.path.basename(exe)]
        self.assertEqual(own, [], "windows of the installer")
        return int(launched[0].split("=")[1].split()[0]), shown, lines[-1]

    def test_callers_circumstances_change_nothing(self):
        """The installer in a directory with spaces and letters outside ASCII, started with
        arguments, hidden and then minimised without activation: the same files and
        registrations, exit 0, complete, and never a window of its own (while the watcher sees
        the failure box of the control that follows)."""
        exe = os.path.join(self.fresh_work_dir(ODD_DIRECTORY), "setup_vannix.exe")
        shutil.copy(CFG.installer, exe)
        control = [("setup_vannix-failtest.exe", "#32770", "Application Error")]
        for run, show in enumerate(("hide", "minnoactive")):
            with self.subTest(show=show):
                rc, shown, count = self.watched_launch(exe, show, show)
                self.assertEqual(rc, 0)
                self.assertEqual(shown, control, "windows shown besides the control's box")
                self.assertEqual(count, ["count", "1"])
                self.assert_installed(FILE_NAMES)
                self.assert_no_leftover()
                reg = self.assert_registered(REGISTERED, first_sequence=1 + run * len(REGISTERED))
                self.assertEqual(reg.value(self.prefix.trace_root(), "Counter"), (run + 1) * len(REGISTERED))
                if run == 0:
                    self.assert_registered_before_next_file(reg, REGISTERED)
                self.assert_check()

    def test_medium_gone_mid_run(self):
        """The image file is cut inside the payload while the installer registers its first
        file: the entries whose payload lies wholly before the cut are installed, the others
        absent or as they were, nothing partial or left behind, exit 0 and no box."""
        image = os.path.join(self.fresh_work_dir(self._testMethodName + "-medium"), "setup_vannix.exe")
        shutil.copy(CFG.installer, image)

        # Cut at the first page boundary after msxml6r's payload; resources lie sorted by name,
        # so later entries of the catalogue fall on both sides of it.
        layout, rsrc_at = payload_layout(image, self.variant)
        cut = (layout["msxml6r.dll"][1] + PAGE - 1) // PAGE * PAGE
        self.assertGreater(cut, rsrc_at)
        later = FILE_NAMES[1:]      # the first file is written before the cut
        before_cut = [n for n in later if layout[n][1] <= cut]
        after_cut = [n for n in later if layout[n][1] > cut]
        log("  cut at %#x: before %s; after %s" % (cut, before_cut, after_cut))
        self.assertTrue(before_cut and after_cut)
        self.assertTrue(set(after_cut) & set(SERVER_FILES), "no server after the cut")
        # One entry after the cut had an earlier file: it must stay.
        kept = next(n for n in after_cut if n not in SERVER_FILES)
        self.place_file(kept, b"earlier library\r\n" * 1000)
        before = self.snapshot()

        boxes, stop = self.work_file("boxes"), self.work_file("stop")
        proc = self.prefix.run(script="""
wine '%(dismiss)s' '%(boxes_w)s' '%(stop_w)s' & d=$!
rc=0; wine '%(image)s' || rc=$?
echo "installer exit $rc"
touch '%(stop)s'; wait $d
exit $rc
""" % dict(dismiss=CFG.dismiss, boxes_w=winelab.windows_path(boxes), stop=stop,
           stop_w=winelab.windows_path(stop), image=image),
            binds=self.binds(image, CFG.dismiss), background=True)
        first = self.sysdir_path(FILE_NAMES[0])
        t = winelab.Stopwatch()
        try:
            deadline = time.monotonic() + 300
            while not os.path.exists(first) and proc.poll() is None and time.monotonic() < deadline:
                time.sleep(0.01)
            self.assertTrue(os.path.exists(first), "%s never appeared" % FILE_NAMES[0])
            os.truncate(image, cut)
            log("  %s appeared after %s: image cut" % (FILE_NAMES[0], t))
            out, _ = proc.communicate(timeout=600)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        self.assertIn("installer exit 0", out)
        self.assertEqual(proc.returncode, 0, out)
        with open(boxes, encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines(), ["count\t0"], "a box was shown")
        installed, kept_now = self.assert_whole_or_as_before(before)
        self.assertEqual(sorted(installed), sorted([FILE_NAMES[0]] + before_cut))
        self.assertEqual(sorted(kept_now), sorted(after_cut))
        self.assert_no_leftover()
        self.assert_registered_where_present()
        self.assert_check(missing=[n for n in after_cut if n != kept], differs=[kept])


if __name__ == "__main__":
    scenario.main(__doc__, {
        "installer": "setup_vannix.exe", "check": "setup_vannix_check.exe",
        "sf_installer": "e2e-size-faithful/setup_vannix.exe",
        "sf_check": "e2e-size-faithful/setup_vannix_check.exe",
        "failtest": "setup_vannix-failtest.exe", "dismiss": "vannix_dismiss.exe",
        "hold_open": "vannix_hold_open.exe",
        "launch": "vannix_launch.exe", "watch_windows": "vannix_watch_windows.exe",
        "sfc": "e2e-sfc/sfc.dll", "schtasks": "e2e-schtasks/schtasks.exe"},
        default_kind="win64", work_name=lambda kind: "faults-" + kind)
