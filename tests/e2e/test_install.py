#!/usr/bin/python3
"""End-to-end runs of setup_vannix under Wine, on one kind of Windows.

    test_install.py --kind win64|win32 --build-dir DIR [--work-dir DIR]
                    [--com-client EXE] [--dismiss EXE] [--hold-open EXE] [unittest options]

win64: a WOW64 prefix (the installer must pick the "64" payload and SysWOW64); win32: a 32-bit
prefix ("32" payload, System32). Every scenario runs on its own fresh copy of the pristine prefix
(tools/wine/wl-prefix.sh), which is removed afterwards. The screenshot of the failure box stays in
the work directory (default DIR/e2e/<kind>/).
"""
import hashlib
import json
import os
import re
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenario  # noqa: E402
from scenario import CFG, file_of, log, read_bytes  # noqa: E402
from scenario import winelab  # noqa: E402
from winelab import CLSIDS, FILE_NAMES, REGISTERED  # noqa: E402

# The command docs/deploying.md gives to deployment tools: waits for the installer (a GUI
# program, which not every caller waits for), then runs the check, whose exit code it returns.
DEPLOY_COMMAND = 'cmd.exe /d /c "start "" /wait setup_vannix.exe & setup_vannix_check.exe"'


def guide_batch_files():
    """{section title: the indented batch file} of docs/deploying.md's last two sections."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                        "deploying.md")
    sections, title, block = {}, None, []
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines() + ["## end"]:
            if line.startswith("## "):
                if title and block:
                    sections[title] = "\n".join(block) + "\n"
                title, block = line[3:], []
            elif line.startswith("    ") and title:
                block.append(line[4:])
            elif block and line.strip():
                sections.setdefault(title, "\n".join(block) + "\n")
                block = []
    return sections


class InstallerUnderWine(scenario.Scenario):

    # ---- scenarios ----

    def test_install_use_and_reinstall(self):
        """Fresh system: files, registrations in order, COM use, then a second run."""
        sys64 = os.path.join(self.prefix.path, "drive_c", "windows", "system32")
        sys64_before = self.snapshot(sys64) if CFG.kind == "win64" else {}

        # Before the installer: nothing of ours, only Wine's own msxml6.dll, which differs; Wine
        # registers the MSXML 6.0 classes, this release's, for that very file, as Windows does.
        self.assertEqual(sorted(self.preexisting), ["msxml6.dll"])
        self.assert_check(differs=self.preexisting,
                          missing=[n for n in FILE_NAMES if n not in self.preexisting],
                          not_registered=[n for n in FILE_NAMES if n not in self.preexisting])
        rc, out = self.run_installer()
        self.assertEqual(rc, 0, out)
        self.assert_installed(FILE_NAMES)
        reg = self.assert_registered(REGISTERED)
        self.assertEqual(reg.value(self.prefix.trace_root(), "Counter"), len(REGISTERED))
        self.assert_check()
        self.assert_registered_before_next_file(reg, REGISTERED)
        if CFG.kind == "win64":
            # The 64-bit system directory is left alone.
            sys64_after = self.snapshot(sys64)
            for name, before in sys64_before.items():
                self.assertEqual(sys64_after[name], before, "system32\\" + name + " touched")

        # A 32-bit client creates every class the build lists through COM and gets the right
        # variant's object from the right server.
        listed = {e["file"]: e["classes"] for e in self.payload_record()
                  if e["variant"] == self.variant and e["register"]}
        self.assertEqual(sum(len(c) for c in listed.values()), 18, listed)
        t = winelab.Stopwatch()
        rc, out = self.prefix.run(
            [CFG.com_client, self.variant] + ["%s=%s" % (c["name"], c["clsid"])
                                              for classes in listed.values() for c in classes],
            binds=self.binds(CFG.com_client))
        log("  com_client: exit code %d after %s\n%s" % (rc, t, out.rstrip()))
        self.assertEqual(rc, 0, out)
        for server, classes in listed.items():
            for c in classes:
                line = next((ln for ln in out.splitlines() if ln.startswith(c["name"] + " ")), "")
                self.assertIn(' ok ', line)
                self.assertIn('describe="%s %s"' % (c["name"], self.variant), line)
                self.assertIn('module="%s"' % self.prefix.installed_path(server).lower(), line.lower())

        # A second run leaves the same files and registers everything again, in order.
        rc, out = self.run_installer()
        self.assertEqual(rc, 0, out)
        self.assert_installed(FILE_NAMES)
        self.assert_registered(REGISTERED, first_sequence=len(REGISTERED) + 1)

    def test_longer_existing_targets_are_replaced(self):
        """Existing bigger files end with exactly the payload's bytes."""
        seeded = ["KorviDataSetX.dll", "qelKorviLib.dll"]
        for name in seeded:
            with open(self.sysdir_path(name), "wb") as f:
                f.write(self.payload(name) + b"\xA5" * 65536)
        rc, out = self.run_installer()
        self.assertEqual(rc, 0, out)
        self.assert_installed(FILE_NAMES)
        self.assert_registered(REGISTERED)
        self.assert_check()

    def test_target_held_open_by_another_program(self):
        """A file held open without sharing keeps its bytes; the rest is installed; exit 0; its
        replacement, kept beside it, waits for the next restart, and so does its registration."""
        held = "midas.dll"
        target = self.sysdir_path(held)
        content = b"held open by another program\r\n" * 100
        self.use_scheduler_standin()  # Wine's keeps no task the way Windows does
        with open(target, "wb") as f:
            f.write(content)
        stop = self.work_file("holder-stop")
        rc, out = self.install_beside_a_holder(held, winelab.windows_path(stop), "holder",
                                               release=stop)
        self.assertIn("holder exit 0", out)
        self.assertEqual(rc, 0, out)
        self.assert_same_bytes(read_bytes(target), content, held + " held open")
        self.assert_same_bytes(read_bytes(target + ".vannix-new"), self.payload(held), held + "'s replacement")
        self.assert_installed([n for n in FILE_NAMES if n != held])
        # The others registered one after the other, numbered from 1 without a gap.
        self.assert_registered([b for b in REGISTERED if b != "midas"])
        # The other program's file is no server: regsvr32 could not register it; it is
        # registered again once the restart has replaced it. Checked in the installer's Wine
        # session: the next one starts with wineboot, which is the restart.
        self.assert_check_in_session_said(out, pending=[held], after_restart=[held])
        self.assertEqual(list(self.scheduled_tasks()), ["setup_vannix " + held])

    def test_directory_at_a_registered_target(self):
        """A directory where KorviGovX.ocx belongs: never registered, the others are."""
        blocked = "KorviGovX.ocx"
        os.mkdir(self.sysdir_path(blocked))
        rc, out = self.run_installer()
        self.assertEqual(rc, 0, out)
        self.assertTrue(os.path.isdir(self.sysdir_path(blocked)))
        self.assert_installed([n for n in FILE_NAMES if n != blocked])
        reg = self.assert_registered([b for b in REGISTERED if b != "KorviGovX"])
        self.assert_not_registered(reg, "KorviGovX")
        self.assert_check(missing=[blocked])

    def test_check_tells_a_changed_byte_and_a_deleted_class(self):
        """After an installation, one byte changed in one file and one class of the server with
        three removed: the check names exactly those two, the class by its CLSID, and exits 1."""
        rc, out = self.run_installer()
        self.assertEqual(rc, 0, out)
        changed = "qelKorviLibUNICODE.dll"
        path = self.sysdir_path(changed)
        data = bytearray(read_bytes(path))
        data[len(data) // 2] ^= 0x01
        with open(path, "wb") as f:
            f.write(data)
        # reg.exe of the 32-bit view, which the check (a 32-bit program) reads.
        removed = dict(winelab.SAMPLE_CLASSES["KorviX"])["KorviXGrid"]
        rc, out = self.shell(r"wine reg delete 'HKLM\Software\Classes\CLSID\%s' /f /reg:32"
                             % removed, what="reg delete")
        self.assertEqual(rc, 0, out)
        self.assertFalse(self.prefix.registry().has(self.prefix.clsid_root() + "\\" + removed))
        self.assert_check(differs=[changed], not_registered=["KorviX.dll"])
        out = self.check_text()
        self.assertIn(("not registered  %s  (2 of 3 classes; %s missing)\n"
                       % (self.prefix.installed_path("KorviX.dll"), removed)).lower(), out.lower())

        # The same findings as data, as a fleet tool reads them.
        rc, out = self.prefix.run([CFG.check, "--json"], binds=self.binds())
        document = out[out.index("{"):out.rindex("}") + 1]
        log("  setup_vannix_check --json: exit code %d\n%s" % (rc, document))
        report = json.loads(document)
        self.assertTrue(document.isascii())
        self.assertEqual(rc, 1)
        self.assertEqual(report["exit_code"], 1)
        self.assertEqual(report["release"]["payload_variant"], self.variant)
        self.assertEqual(report["release"]["check_version"], "1.0.0.0")
        files = {f["name"]: f for f in report["files"]}
        self.assertEqual(sorted(files), sorted(FILE_NAMES))
        self.assertEqual(files[changed]["state"], "differs")
        self.assertEqual(files[changed]["expected"]["sha256"],
                         hashlib.sha256(self.payload(changed)).hexdigest())
        self.assertEqual(files[changed]["found"]["sha256"], hashlib.sha256(data).hexdigest())
        self.assertEqual(files["KorviX.dll"]["registration"], "not registered")
        self.assertIn((removed.upper(), "missing"),
                      [(c["clsid"].upper(), c["state"]) for c in files["KorviX.dll"]["classes"]])
        self.assertEqual(report["summary"]["verdict"], "incomplete")
        self.assertEqual(report["system_directory"].lower(),
                         self.prefix.installed_path("").lower())

    def test_server_without_a_type_library(self):
        """midas.dll without its type library (a payload of its own): the build lists no class
        for it, and the check counts it registered while any machine-wide class names it, saying
        that its classes are unknown; with its class removed it is not registered."""
        rc, out = self.run_installer(CFG.untyped_installer)
        self.assertEqual(rc, 0, out)
        unknown = "  (classes unknown: any class naming this file counts)\n"
        self.assert_check(check=CFG.untyped_check)
        out = self.check_text(check=CFG.untyped_check)
        self.assertIn(("registered      %s%s" % (self.prefix.installed_path("midas.dll"),
                                                 unknown)).lower(), out.lower())
        rc, out = self.shell(r"wine reg delete 'HKLM\Software\Classes\CLSID\%s' /f /reg:32"
                             % CLSIDS["midas"], what="reg delete")
        self.assertEqual(rc, 0, out)
        self.assert_check(check=CFG.untyped_check, not_registered=["midas.dll"])
        out = self.check_text(check=CFG.untyped_check)
        self.assertIn(("not registered  %s%s" % (self.prefix.installed_path("midas.dll"),
                                                 unknown)).lower(), out.lower())


    def test_deployment_command_reports_the_check(self):
        """The documented one-line command, started as a deployment tool starts it (the exact
        command line, in the package's folder), waits for the installer, then returns the
        check's exit code: 0 after a complete installation, 1 after a partial one."""
        command_file = os.path.join(CFG.work_dir, "deploy-command.txt")
        with open(command_file, "w", encoding="utf-8") as f:
            f.write(DEPLOY_COMMAND)
        launch = [CFG.launch, "/cwd:" + winelab.windows_path(os.path.dirname(CFG.installer)),
                  "/cmdfile:" + winelab.windows_path(command_file)]

        def deploy():
            t = winelab.Stopwatch()
            rc, out = self.prefix.run(launch, binds=self.binds(CFG.check, CFG.launch))
            log("  deployment command: exit code %d after %s" % (rc, t))
            return rc, out

        rc, out = deploy()
        self.assertEqual(rc, 0, out)
        self.assertIn("\ncomplete: 11 of 11 files as shipped", out)
        # A partial installation: a directory where a server belongs.
        blocked = self.sysdir_path("midas.dll")
        os.remove(blocked)
        os.mkdir(blocked)
        rc, out = deploy()
        self.assertEqual(rc, 1, out)
        self.assertIn(("missing  not registered  %s" % self.prefix.installed_path("midas.dll")).lower(),
                      out.lower())

    def test_batch_files_of_the_deployment_guide(self):
        """The guide's startup script and its own-script example, taken from docs/deploying.md
        and run by cmd from a folder that holds both programs: the startup script installs and
        keeps the check's output; the example then says "installed"."""
        folder = self.fresh_work_dir("package with spaces")
        for exe in (CFG.installer, CFG.check):
            shutil.copy(exe, folder)
        scripts = guide_batch_files()
        for name, text in (("startup.cmd", scripts["Group Policy"]),
                           ("own.cmd", scripts["A script of your own"])):
            with open(os.path.join(folder, name), "w", newline="\r\n") as f:
                f.write(text)

        def run(name):
            return self.shell("cd '%s' && wine cmd /d /c %s" % (folder, name), what=name)

        rc, out = run("startup.cmd")
        self.assertEqual(rc, 0, out)
        self.assert_installed(FILE_NAMES)
        kept = [os.path.join(d, "setup_vannix_check.txt")
                for d, _, files in os.walk(os.path.join(self.prefix.path, "drive_c", "users"))
                if "setup_vannix_check.txt" in files]
        self.assertEqual(len(kept), 1, kept)
        with open(kept[0], encoding="utf-8") as f:
            self.assertIn("\ncomplete: 11 of 11 files as shipped", f.read())
        rc, out = run("own.cmd")
        self.assertIn("installed", [line.strip() for line in out.splitlines()], out)

    def run_with_dismisser(self, exe, tag):
        """Runs `exe` under Xvfb beside the dismisser; returns (exit code, boxes, log, output).
        A screenshot of the first box is kept as <work dir>/<tag>-box.png."""
        self.prefix.use_graphics("x11")
        names = {k: self.work_file(tag + "-" + k) for k in ("log", "stop", "hold")}
        png = os.path.join(CFG.work_dir, tag + "-box.png")
        if os.path.exists(png):
            os.remove(png)
        script = """
wine '%(dismiss)s' '%(log_w)s' '%(stop_w)s' '%(hold_w)s' & dismisser=$!
rc=0; wine '%(exe)s' || rc=$?
touch '%(stop)s'; wait $dismisser
exit $rc
""" % dict(dismiss=CFG.dismiss, exe=exe, stop=names["stop"],
           log_w=winelab.windows_path(names["log"]), stop_w=winelab.windows_path(names["stop"]),
           hold_w=winelab.windows_path(names["hold"]))
        with winelab.xvfb() as display:
            proc = self.prefix.run(script=script, binds=self.binds(CFG.dismiss, exe),
                                   display=display, background=True)
            deadline = time.monotonic() + 300
            try:
                while time.monotonic() < deadline and proc.poll() is None:
                    if os.path.exists(names["log"]) and read_bytes(names["log"]).startswith(b"box"):
                        time.sleep(1)   # let Wine draw it
                        winelab.screenshot(display, png)
                        log("  screenshot: " + png)
                        break
                    time.sleep(0.2)
            finally:
                open(names["hold"], "w").close()   # the dismisser may press the button now
            try:
                out, _ = proc.communicate(timeout=max(10, deadline - time.monotonic()))
            except Exception:
                proc.kill()
                raise
        with open(names["log"], encoding="utf-8") as f:
            lines = [[winelab.unescape(x) for x in ln.rstrip("\n").split("\t")] for ln in f]
        log("  %s: exit code %d; dismisser saw %r" % (tag, proc.returncode, lines))
        self.assertGreater(os.path.getsize(png), 0)
        return proc.returncode, [ln for ln in lines if ln[0] == "box"], lines, out

    def assert_one_failure_box(self, exe, tag):
        rc, boxes, lines, out = self.run_with_dismisser(exe, tag)
        self.assertEqual(len(boxes), 1, out)
        self.assertEqual(lines[-1], ["count", "1"])
        caption, text = boxes[0][1], boxes[0][2]
        self.assertEqual(caption, "Application Error")
        self.assertRegex(text, r"^Exception \S+ in module %s at [0-9A-F]{8}\.\r?\n"
                         % re.escape(os.path.basename(exe)))
        self.assertEqual(rc, 1, out)
        return text

    def test_failure_shows_one_box_and_exits_1(self):
        """An escaping failure: one "Application Error" box, exit code 1; screenshot kept."""
        text = self.assert_one_failure_box(CFG.failtest, "failure")
        self.assertIn("InjectedFailure", text)
        self.assertIn("Raised on purpose to show the failure path.", text)

    def test_processor_fault_shows_one_box_and_exits_1(self):
        """A fault raised by the processor reaches the same reporter."""
        text = self.assert_one_failure_box(CFG.faulttest, "fault")
        # The emulation here reports a bad write as an illegal instruction.
        self.assertRegex(text, r"^Exception (AccessViolation|IllegalInstruction) ")

if __name__ == "__main__":
    scenario.main(__doc__, {
        "installer": "setup_vannix.exe", "failtest": "setup_vannix-failtest.exe",
        "faulttest": "setup_vannix-faulttest.exe", "com_client": "vannix_com_client.exe",
        "dismiss": "vannix_dismiss.exe", "hold_open": "vannix_hold_open.exe",
        "check": "setup_vannix_check.exe", "launch": "vannix_launch.exe",
        "untyped_installer": "e2e-untyped/setup_vannix.exe",
        "untyped_check": "e2e-untyped/setup_vannix_check.exe",
        "schtasks": "e2e-schtasks/schtasks.exe"})
