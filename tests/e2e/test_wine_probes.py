#!/usr/bin/python3
"""What the end-to-end scenarios rely on in this Wine setup, checked with the helper programs.

    test_wine_probes.py --build-dir DIR [--work-dir DIR] [unittest options]

A WOW64 prefix copy per test. Each test states one behaviour of Wine or of the runner's options
(tools/wine/wl-run.sh) that a scenario builds on, so that a change of Wine, of the emulation or
of the runner shows up here rather than as a puzzling scenario failure.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine"))
import winelab  # noqa: E402

CFG = argparse.Namespace()
KIND = "win64"


def exe(name):
    return os.path.join(CFG.build_dir, name + ".exe")


# A start-up task as the installer defines it, but for its action: the arguments follow.
TASK = ('<?xml version="1.0" encoding="UTF-16"?><Task version="1.2" '
        'xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task"><Triggers><BootTrigger>'
        '<Enabled>true</Enabled></BootTrigger></Triggers><Principals><Principal id="System">'
        '<UserId>S-1-5-18</UserId></Principal></Principals><Actions Context="System"><Exec>'
        '<Command>%s</Command><Arguments>')

# CurrentControlSet is a link in Wine's registry files: its keys are stored under ControlSet001.
SESSION_MANAGER = "System\\ControlSet001\\Control\\Session Manager"


def lines_of(out, prefix):
    return [ln for ln in out.splitlines() if ln.startswith(prefix)]


class WineProbes(unittest.TestCase):

    def setUp(self):
        self.work = os.path.join(CFG.work_dir, self._testMethodName)
        winelab.remove_tree(self.work)
        os.makedirs(self.work)
        self.addCleanup(winelab.remove_tree, self.work)
        self.prefix = winelab.Prefix.fresh_copy(KIND, os.path.join(self.work, "prefix"))
        self.clock = winelab.Stopwatch()

    def tearDown(self):
        print("[probes] %s: %s" % (self._testMethodName, self.clock), file=sys.stderr, flush=True)

    def host(self, name):
        return os.path.join(self.work, name)

    def run_sh(self, script, **kw):
        return self.prefix.run(script=script, binds=[self.work, CFG.build_dir], **kw)

    def test_reads_of_a_cut_image(self):
        """Once the image file is cut, ReadProcessMemory of its mapped pages fails with 299;
        a plain read faults (as an illegal instruction under the emulation)."""
        copy = self.host("mapped_read.exe")
        shutil.copy(exe("vannix_mapped_read"), copy)
        cut = 1 << 20
        proc = self.prefix.run([copy, str(cut), winelab.windows_path(self.host("ready")),
                                winelab.windows_path(self.host("go"))],
                               binds=[self.work], background=True)
        try:
            deadline = time.monotonic() + 120
            while not os.path.exists(self.host("ready")) and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertTrue(os.path.exists(self.host("ready")), "the probe did not start")
            os.truncate(copy, cut)
            open(self.host("go"), "w").close()
            out, _ = proc.communicate(timeout=120)
        finally:
            if proc.poll() is None:
                proc.kill()
        rpm = lines_of(out, "rpm ")
        self.assertRegex(rpm[0], r"ok=1 error=0 bytes=61440 data=good", out)     # before the cut
        for line in rpm[1:]:
            self.assertRegex(line, r"ok=0 error=299 bytes=0", out)
        self.assertRegex(lines_of(out, "ntread ")[0], r"status=0x8000000D", out)
        for line in lines_of(out, "veh ")[1:]:
            self.assertRegex(line, r"faulted=1 code=0xC000001D", out)
        self.assertIn("memcpy offset=", out)
        self.assertEqual(proc.returncode, 3, out)       # the plain memcpy faulted

    def fileops(self, user=None):
        d = "C:\\probe"
        os.makedirs(os.path.join(self.prefix.path, "drive_c", "probe"), exist_ok=True)
        fo = exe("vannix_fileop")
        script = (
            "wine '{fo}' create-always '{d}\\a' create-always '{d}\\b' create-always '{d}\\c' "
            "create-always '{d}\\d' create-always '{d}\\src' set-attr '{d}\\a' readonly "
            "set-attr '{d}\\b' readonly set-attr '{d}\\c' readonly set-attr '{d}\\d' readonly >/dev/null\n"
            "wine '{fo}' create-always '{d}\\a' move-replace '{d}\\src' '{d}\\b' delete '{d}\\c' "
            "set-attr '{d}\\d' normal create-always '{d}\\d'\n").format(fo=fo, d=d)
        rc, out = self.run_sh(script, user=user)
        return [ln for ln in out.splitlines() if re.match(r"(create-always|move-replace|delete|set-attr) ", ln)]

    def test_read_only_targets(self):
        """Root ignores a read-only file's mode when creating over it; an ordinary user is
        refused, as on Windows. Replacing and deleting are refused either way."""
        windows = ["create-always error 5", "move-replace error 5", "delete error 5",
                   "set-attr ok", "create-always ok"]
        self.assertEqual(self.fileops(), ["create-always ok"] + windows[1:])
        self.assertEqual(self.fileops(user=winelab.ORDINARY_USER), windows)
        self.assertEqual(os.stat(self.prefix.path).st_uid, winelab.ORDINARY_USER)
        self.fileops()      # root again: the prefix is handed back
        self.assertEqual(os.stat(self.prefix.path).st_uid, 0)

    def test_files_held_open(self):
        """A file held without sharing: opening it without sharing, deleting it and moving it
        away fail with 32; replacing it fails with 5."""
        d, u = "C:\\held", os.path.join(self.prefix.path, "drive_c", "held")
        os.makedirs(u)
        for name in ("a", "src"):
            with open(os.path.join(u, name), "w") as f:
                f.write("held\n")
        script = """
wine '{hold}' '{d}\\a' '{d}\\ready' '{d}\\stop' & h=$!
{wait_ready}
wine '{fo}' open-noshare '{d}\\a' delete '{d}\\a' move-replace '{d}\\a' '{d}\\moved' move-replace '{d}\\src' '{d}\\a'
touch '{u}/stop'; wait $h
""".format(hold=exe("vannix_hold_open"), fo=exe("vannix_fileop"), d=d, u=u,
           wait_ready=winelab.shell_wait_until("[ -e '%s/ready' ]" % u))
        rc, out = self.run_sh(script)
        self.assertEqual([ln for ln in out.splitlines() if re.match(r"(open|move|delete)", ln)],
                         ["open-noshare error 32", "delete error 32", "move-replace error 32",
                          "move-replace error 5"], out)

    def test_renames_and_run_once_at_restart(self):
        """MoveFileExW(DELAY_UNTIL_REBOOT | REPLACE_EXISTING) onto a held file succeeds and is
        recorded as Windows records it ("\\??\\SRC", "!\\??\\DST" in PendingFileRenameOperations);
        `wineboot -r` makes the renames (one whose source is gone is skipped), removes the list
        and runs the HKLM RunOnce values once, those of the 64-bit view and those a 32-bit
        program writes (into Wow6432Node)."""
        d, u = "C:\\held", os.path.join(self.prefix.path, "drive_c", "held")
        os.makedirs(u)
        for name, text in (("a", "old a\n"), ("new", "new a\n"), ("b", "old b\n"), ("bnew", "new b\n")):
            with open(os.path.join(u, name), "w") as f:
                f.write(text)
        fo = winelab.windows_path(exe("vannix_fileop"))
        key = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
        script = """
wine '{hold}' '{d}\\a' '{d}\\ready' '{d}\\stop' & h=$!
{wait_ready}
wine '{fo}' move-at-restart '{d}\\new' '{d}\\a' move-at-restart '{d}\\bnew' '{d}\\b' delete '{d}\\bnew'
wine reg add '{key}' /v probe64 /d '"{fo}" create-always {d}\\ran64' /reg:64 /f
wine reg add '{key}' /v probe32 /d '"{fo}" create-always {d}\\ran32' /reg:32 /f
touch '{u}/stop'; wait $h
""".format(hold=exe("vannix_hold_open"), fo=fo, d=d, u=u, key=key,
           wait_ready=winelab.shell_wait_until("[ -e '%s/ready' ]" % u))
        rc, out = self.run_sh(script)
        self.assertIn("move-at-restart ok", out)
        self.assertEqual(out.count("move-at-restart ok"), 2, out)
        with open(os.path.join(u, "a")) as f:
            self.assertEqual(f.read(), "old a\n")
        reg = self.prefix.registry()
        pending = reg.value(SESSION_MANAGER, "PendingFileRenameOperations")
        print("[probes] PendingFileRenameOperations: %r" % pending, file=sys.stderr)
        self.assertEqual(pending.split("\0")[:4], ["\\??\\C:\\held\\new", "!\\??\\C:\\held\\a",
                                                    "\\??\\C:\\held\\bnew", "!\\??\\C:\\held\\b"])
        self.assertIsNone(reg.value(SESSION_MANAGER,
                                    "PendingFileRenameOperations2"))
        run_once = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
        self.assertIn("ran64", reg.value(run_once, "probe64"))
        self.assertIn("ran32", reg.value("Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "probe32"))
        self.assertIsNone(reg.value(run_once, "probe32"))

        rc, out = self.run_sh("wine wineboot -r; echo wineboot $?")
        self.assertIn("wineboot 0", out)
        with open(os.path.join(u, "a")) as f:
            self.assertEqual(f.read(), "new a\n")
        with open(os.path.join(u, "b")) as f:
            self.assertEqual(f.read(), "old b\n")
        self.assertEqual(sorted(os.listdir(u)), ["a", "b", "ran32", "ran64", "ready", "stop"])
        reg = self.prefix.registry()
        self.assertIsNone(reg.value(SESSION_MANAGER,
                                    "PendingFileRenameOperations"))
        self.assertIsNone(reg.value(run_once, "probe64"))

    def test_what_tells_a_held_target_from_a_refused_one(self):
        """Replacing fails with 5 for a file held open, one loaded as a DLL and one that may not
        be deleted (immutable). Opening it for DELETE with full sharing fails with 32 for the
        first, as on Windows, and succeeds for the others: Wine checks no right to delete (nor a
        DACL, which SetFileSecurity stores without enforcing). Opening for FILE_WRITE_DATA tells
        those two apart: 32 for the loaded DLL (a mapped image refuses writers, as on Windows),
        5 for the immutable file."""
        d, u = "C:\\held", os.path.join(self.prefix.path, "drive_c", "held")
        os.makedirs(u)
        for name in ("a", "imm", "src1", "src2", "src3"):
            with open(os.path.join(u, name), "w") as f:
                f.write(name + "\n")
        shutil.copy(os.path.join(CFG.build_dir, "payload", "64", "KorviX.dll"), os.path.join(u, "x.dll"))
        subprocess.run(["chattr", "+i", os.path.join(u, "imm")], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-i", os.path.join(u, "imm")])
        script = """
wine '{hold}' '{d}\\a' '{d}\\ready1' '{d}\\stop' & h1=$!
wine '{hold}' '{d}\\x.dll' '{d}\\ready2' '{d}\\stop' load & h2=$!
{wait_ready}
wine '{fo}' open-delete '{d}\\a' open-delete '{d}\\x.dll' open-write '{d}\\x.dll' open-delete '{d}\\imm' open-write '{d}\\imm' move-replace '{d}\\src1' '{d}\\a' move-replace '{d}\\src2' '{d}\\x.dll' move-replace '{d}\\src3' '{d}\\imm'
touch '{u}/stop'; wait $h1 $h2
""".format(hold=exe("vannix_hold_open"), fo=exe("vannix_fileop"), d=d, u=u,
           wait_ready=winelab.shell_wait_until("[ -e '%s/ready1' ] && [ -e '%s/ready2' ]" % (u, u)))
        rc, out = self.run_sh(script)
        self.assertEqual([ln for ln in out.splitlines() if re.match(r"(open|move)", ln)],
                         ["open-delete error 32", "open-delete ok", "open-write error 32",
                          "open-delete ok", "open-write error 5", "move-replace error 5",
                          "move-replace error 5", "move-replace error 5"], out)

    def test_task_scheduler(self):
        """Wine's schtasks takes a definition (exit 0) but keeps it without its start-up trigger
        and its command, and `wineboot -r` runs nothing; the stand-in, placed in the system
        directory for 32-bit programs, is what a 32-bit program starts there, and keeps the
        definition byte for byte where Windows keeps it (the native system32\\tasks, which a
        32-bit program reaches through sysnative)."""
        marker = self.host("ran")
        definition = TASK % winelab.windows_path(exe("vannix_fileop")) + " create-always " + \
            winelab.windows_path(marker) + "</Arguments></Exec></Actions></Task>"
        with open(self.host("task.xml"), "w", encoding="utf-16") as f:
            f.write(definition)
        task_w = winelab.windows_path(self.host("task.xml"))
        rc, out = self.run_sh("wine schtasks /create /tn probe /xml '%s' /f; echo \"schtasks exit $?\"" % task_w)
        self.assertIn("schtasks exit 0", out)
        [kept_at] = [p for p in (os.path.join(self.prefix.path, "drive_c", "windows", d, "tasks", "probe")
                                 for d in ("system32", "syswow64")) if os.path.exists(p)]
        with open(kept_at, "rb") as f:
            kept = f.read().decode("utf-8-sig")
        print("[probes] Wine keeps: %r" % kept, file=sys.stderr)
        self.assertIn("<Triggers/>", kept)
        self.assertIn("<Exec/>", kept)
        self.assertNotIn("create-always", kept)
        self.run_sh("wine wineboot -r")
        self.assertFalse(os.path.exists(marker))

        shutil.copy(os.path.join(CFG.build_dir, "e2e-schtasks", "schtasks.exe"),
                    os.path.join(self.prefix.path, "drive_c", "windows", "syswow64", "schtasks.exe"))
        # Another name: Wine's file of "probe", without its key in the task cache, is what Windows
        # would take for a task whose key was lost, and the stand-in refuses that name as it does.
        rc, out = self.run_sh("wine '%s' 'C:\\windows\\syswow64\\schtasks.exe' /create /tn probe2 "
                              "/xml '%s' /ru SYSTEM /f" % (exe("vannix_launch"), task_w))
        self.assertIn("launch: exit=0", out)
        with open(os.path.join(self.prefix.path, "drive_c", "windows", "system32", "tasks", "probe2"),
                  "rb") as f:
            self.assertEqual(f.read().decode("utf-16"), definition)

    def test_system_directory_with_little_room(self):
        """WL_SYSDIR_FREE_MB: a copy that does not fit fails; the next run, with room, goes on
        from what the first left; the host sees the result."""
        big = exe("vannix_mapped_read")     # 8 MiB and more
        target = os.path.join(self.prefix.sysdir, "big.bin")
        copy = "wine cmd /d /c copy /y '%s' 'C:\\windows\\syswow64\\big.bin'; echo copy-exit $?" \
            % winelab.windows_path(big)
        rc, out = self.run_sh(copy, sysdir_free_mb=4)
        self.assertIn("4096 KiB free", out)
        self.assertNotIn("copy-exit 0", out)
        self.assertFalse(os.path.exists(target) and os.path.getsize(target) == os.path.getsize(big), out)
        rc, out = self.run_sh(copy, sysdir_free_mb=16)
        self.assertIn("copy-exit 0", out)
        with open(target, "rb") as a, open(big, "rb") as b:
            self.assertTrue(a.read() == b.read())

    def test_waiting_for_a_gui_program(self):
        """cmd /c "start "" /wait GUI & CHECK" waits for the GUI program and returns the check's
        exit code; start /wait alone passes the program's code on."""
        marker = winelab.windows_path(self.host("marker"))
        gui, check = winelab.windows_path(exe("vannix_gui_exit")), winelab.windows_path(exe("vannix_check_marker"))
        cases = [('cmd /d /c "start "" /wait "%s" %s 1 & "%s" %s 0"' % (gui, marker, check, marker), 0),
                 ('cmd /d /c "start "" /wait "%s" %s 0 & "%s" %s 3"' % (gui, marker, check, marker), 3),
                 ('cmd /d /c start "" /wait "%s" %s 5' % (gui, marker), 5)]
        for i, (line, code) in enumerate(cases):
            with self.subTest(command=line):
                if os.path.exists(self.host("marker")):
                    os.remove(self.host("marker"))
                with open(self.host("cmd%d.txt" % i), "w", encoding="utf-8") as f:
                    f.write(line)
                rc, out = self.prefix.run([exe("vannix_launch"),
                                           "/cmdfile:" + winelab.windows_path(self.host("cmd%d.txt" % i))],
                                          binds=[self.work, CFG.build_dir])
                self.assertEqual(rc, code, out)
                if i < 2:
                    self.assertIn("marker present", out)
                self.assertTrue(os.path.exists(self.host("marker")))

    def watch(self, program_script, dismiss=False):
        """Runs shell text under the window watcher; returns its log lines (split at tabs). The
        dismisser closes a box only once the watcher has recorded it."""
        log_w, stop = winelab.windows_path(self.host("windows.log")), self.host("stop")
        for name in ("windows.log", "dismiss.log", "stop", "release"):
            if os.path.exists(self.host(name)):
                os.remove(self.host(name))
        script = "wine '%s' '%s' '%s' /all & w=$!\n" % (exe("vannix_watch_windows"), log_w,
                                                        winelab.windows_path(stop))
        script += winelab.shell_wait_until("[ -s '%s' ]" % self.host("windows.log")) + "\n"
        if dismiss:
            script += "wine '%s' '%s' '%s' '/after:%s' & d=$!\n" % (
                exe("vannix_dismiss"), winelab.windows_path(self.host("dismiss.log")),
                winelab.windows_path(stop), log_w)
        script += program_script + "\ntouch '%s'; wait\n" % stop
        self.run_sh(script)
        with open(self.host("windows.log"), encoding="utf-8") as f:
            return [ln.rstrip("\n").split("\t") for ln in f]

    def test_window_watcher(self):
        """The watcher sees the failure box, and a new console's window, and nothing from a
        GUI program that makes no window."""
        lines = self.watch("wine '%s'" % exe("setup_vannix-failtest"), dismiss=True)
        shown = [ln for ln in lines if ln[0] == "shown"]
        self.assertEqual([(ln[4], ln[5], ln[6]) for ln in shown],
                         [("setup_vannix-failtest.exe", "#32770", "Application Error")], lines)
        # The console stays until the watcher has recorded its window: gui_exit waits for
        # "release", which the script makes only then.
        lines = self.watch(
            "wine '%s' /newconsole /show:normal cmd.exe /d /c '%s' %s 0 '%s' & l=$!\n%s\n"
            "touch '%s'; wait $l" % (
                exe("vannix_launch"), winelab.windows_path(exe("vannix_gui_exit")),
                winelab.windows_path(self.host("m")), winelab.windows_path(self.host("release")),
                winelab.shell_wait_until("grep -q '^shown.*WineConsoleClass' '%s'"
                                         % self.host("windows.log")),
                self.host("release")))
        self.assertIn(("conhost.exe", "WineConsoleClass"),
                      [(ln[4], ln[5]) for ln in lines if ln[0] == "shown"], lines)
        lines = self.watch("wine '%s' /show:hide '%s' %s 0 300" % (
            exe("vannix_launch"), winelab.windows_path(exe("vannix_gui_exit")),
            winelab.windows_path(self.host("m"))))
        self.assertEqual(lines[-1], ["count", "0"], lines)
        self.assertNotIn("vannix_gui_exit.exe", [ln[4] for ln in lines if len(ln) > 4], lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--work-dir")
    args, rest = ap.parse_known_args()
    CFG.build_dir = os.path.abspath(args.build_dir)
    CFG.work_dir = os.path.abspath(args.work_dir or os.path.join(CFG.build_dir, "e2e", "probes"))
    os.makedirs(CFG.work_dir, exist_ok=True)
    for name in ("vannix_mapped_read", "vannix_fileop", "vannix_hold_open", "vannix_launch",
                 "vannix_watch_windows", "vannix_gui_exit", "vannix_check_marker", "vannix_dismiss",
                 "setup_vannix-failtest"):
        if not os.path.isfile(exe(name)):
            sys.exit("missing %s (build it first)" % exe(name))
    prog = unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=False)
    sys.exit(0 if prog.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
