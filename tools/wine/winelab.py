"""Helpers to run the installer under Wine and look at what it left behind.

Used by the end-to-end tests (tests/e2e/) and by tools/main.sh. Host side only: Windows programs
run through wl-run.sh (a private namespace around the Wine root made by wl-setup.sh) in a
throwaway copy of a pristine prefix made by wl-prefix.sh.
"""
import contextlib
import json
import os
import re
import shutil
import subprocess
import sys
import time

TOOLS = os.path.dirname(os.path.abspath(__file__))
WL_CACHE = os.environ.get("WL_CACHE", "/var/cache/setup_vannix")

sys.path.insert(0, os.path.join(os.path.dirname(TOOLS), "image"))
sys.path.insert(0, os.path.join(os.path.dirname(TOOLS), "components"))
from catalogue import CATALOGUE  # noqa: E402  (BaseName, Extension, Register)
from sample_classes import creatable_classes  # noqa: E402

FILE_NAMES = [b + e for b, e, _ in CATALOGUE]
REGISTERED = [b for b, _, r in CATALOGUE if r]



def _sample_classes():
    """{BaseName: [(class name, CLSID)]} of the creatable classes the sample servers' IDLs
    declare, the class named after the server first."""
    folder = os.path.join(os.path.dirname(TOOLS), "components", "typelibs")
    classes = {}
    for base in REGISTERED:
        with open(os.path.join(folder, base + ".idl"), encoding="utf-8") as f:
            classes[base] = creatable_classes(f.read())
    return classes


SAMPLE_CLASSES = _sample_classes()
# {BaseName: CLSID} of the first class each sample server declares: the one named after it, or
# for msxml6 DOMDocument60.
CLSIDS = {base: classes[0][1] for base, classes in SAMPLE_CLASSES.items()}
# The sample servers whose classes a fresh prefix already has, naming Wine's own file of that
# name in the system directory: Wine's msxml6 registers the MSXML 6.0 classes, as Windows does.
WINE_REGISTERS = {"msxml6": "C:\\windows\\system32\\msxml6.dll"}

# A user id for Prefix.run(user=...). The runner's namespace maps ids one to one, so the files
# it writes belong to the host user of that id: one no host account is likely to have.
ORDINARY_USER = 4711

# What a kind of prefix looks like to the 32-bit installer.
KINDS = {
    # kind: (payload variant, system directory for 32-bit images, 32-bit registry view roots)
    "win64": ("64", "syswow64", "software\\wow6432node", "software\\classes\\wow6432node\\clsid"),
    "win32": ("32", "system32", "software", "software\\classes\\clsid"),
}


def variant(kind):
    return KINDS[kind][0]


def sysdir_name(kind):
    return KINDS[kind][1]


def shell_wait_until(condition, seconds=300):
    """Shell text that waits until the shell test CONDITION holds: a file made, a line logged.
    A test's shell runs in the Wine root, which has no tool to sleep on a file event, so it looks
    again every 0.1 s; the period only sets how soon the event is noticed. No outcome depends on
    the time taken except giving up after SECONDS, far beyond any start-up seen under load."""
    return "i=0; while ! { %s; } && [ $i -lt %d ]; do sleep 0.1; i=$((i + 1)); done" % (
        condition, seconds * 10)


def windows_path(host_path):
    """A host path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


class Prefix:
    """A throwaway copy of a pristine prefix of one kind."""

    def __init__(self, kind, path, root=None):
        self.kind = kind
        self.path = path
        # WINEDLLOVERRIDES of every run that names none: the sample msxml6 beside Wine's own,
        # and whatever stand-in a test put into the system directory ("name.exe=n").
        self.dll_overrides = "msxml6=n"
        self.root = root or os.environ.get("WL_ROOT", os.path.join(WL_CACHE, "wine-root"))

    @classmethod
    def fresh_copy(cls, kind, path):
        pristine = os.path.join(WL_CACHE, "prefix-" + kind)
        if not os.path.isfile(os.path.join(pristine, ".wl-pristine")):
            raise RuntimeError("no pristine %s prefix: run tools/wine/wl-prefix.sh" % kind)
        remove_tree(path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["cp", "-a", pristine, path], check=True)
        return cls(kind, path)

    def remove(self):
        remove_tree(self.path)

    @property
    def sysdir(self):
        return os.path.join(self.path, "drive_c", "windows", sysdir_name(self.kind))

    def installed_path(self, file_name):
        """The Windows path of a catalogue file in the system directory."""
        return "C:\\windows\\%s\\%s" % (sysdir_name(self.kind), file_name)

    def use_graphics(self, driver):
        subprocess.run(["sh", os.path.join(TOOLS, "wl-prefix.sh"), "--graphics", driver, self.path],
                       check=True)

    def run(self, argv=None, script=None, binds=(), display=None, dll_overrides=None,
            timeout=900, background=False, user=None, sysdir_free_mb=None):
        """Runs a Windows program (argv, a host path first) or shell text inside the root.

        user: a numeric Unix user id (or "uid:gid") to run Wine as instead of root, so that
        read-only files are refused as on Windows; wl-run.sh chowns the prefix to it (and back
        to root for a later run without user). The binds must be readable by that user and
        writable where the programs write. Pick an id no host account uses (ORDINARY_USER).
        sysdir_free_mb: the system directory for 32-bit programs sits on a tmpfs with that many
        MiB free during the run; its contents are written back into the prefix at the end.

        Returns (exit status, output), or the Popen object when background is true."""
        env = dict(os.environ)
        env.update(WL_ROOT=self.root, WL_PREFIX=self.path, WL_BIND=":".join(binds) or "/tmp",
                   WL_DLLOVERRIDES=self.dll_overrides if dll_overrides is None else dll_overrides,
                   WINEARCH=self.kind)
        for name in ("DISPLAY", "WL_USER", "WL_SYSDIR_FREE_MB"):
            env.pop(name, None)
        if display:
            env["DISPLAY"] = display
        if user is not None:
            env["WL_USER"] = str(user)
        if sysdir_free_mb is not None:
            env["WL_SYSDIR_FREE_MB"] = str(int(sysdir_free_mb))
        cmd = ["sh", os.path.join(TOOLS, "wl-run.sh")]
        cmd += ["--sh", script] if script is not None else list(argv)
        proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, errors="replace")
        if background:
            return proc
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out

    def registry(self):
        return WineRegistry(os.path.join(self.path, "system.reg"))

    def trace_root(self):
        return KINDS[self.kind][2] + "\\vannixsamples"

    def clsid_root(self):
        return KINDS[self.kind][3]


def remove_tree(path):
    if os.path.lexists(path):
        shutil.rmtree(path)


_ESCAPES = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "t": "\t", "0": "\0"}


def unescape(s):
    out, i = [], 0
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s):
            n = s[i + 1]
            if n == "x":
                m = re.match(r"[0-9a-fA-F]{1,4}", s[i + 2:])
                out.append(chr(int(m.group(0), 16)))
                i += 2 + len(m.group(0))
                continue
            out.append(_ESCAPES.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


class WineRegistry:
    """The keys of one of Wine's registry files (system.reg), names folded to lower case.

    values(key) gives {value name (lower case, "" for the default): str or int}."""

    def __init__(self, path):
        self.keys = {}
        current = None
        with open(path, encoding="utf-8", errors="replace") as f:
            pending = ""
            for line in f:
                line = line.rstrip("\n")
                if pending:
                    line = pending + line.lstrip()
                    pending = ""
                if line.endswith("\\") and current is not None and not line.startswith("["):
                    pending = line[:-1]     # hex values continue on the next line
                    continue
                if line.startswith("["):
                    name = line[1:line.index("]")]
                    current = self.keys.setdefault(unescape(name).lower(), {})
                    continue
                if current is None or not line or line[0] not in '"@':
                    continue
                if line.startswith("@="):
                    vname, rest = "", line[2:]
                else:
                    m = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)$', line)
                    if not m:
                        continue
                    vname, rest = unescape(m.group(1)).lower(), m.group(2)
                if rest.startswith('"') and rest.endswith('"'):
                    current[vname] = unescape(rest[1:-1])
                elif rest.startswith("str(2):") or rest.startswith("str(7):"):
                    current[vname] = unescape(rest[8:-1])
                elif rest.startswith("dword:"):
                    current[vname] = int(rest[6:], 16)
                else:
                    current[vname] = rest

    def has(self, key):
        return key.lower() in self.keys

    def values(self, key):
        return self.keys.get(key.lower())

    def value(self, key, name=""):
        v = self.values(key)
        return None if v is None else v.get(name.lower())


@contextlib.contextmanager
def xvfb():
    """A private Xvfb display; yields its name (":N")."""
    if not os.path.isdir("/tmp/.X11-unix"):
        os.makedirs("/tmp/.X11-unix", mode=0o1777, exist_ok=True)
    r, w = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(w,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    try:
        with os.fdopen(r) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        yield ":" + number
    finally:
        proc.terminate()
        proc.wait(timeout=30)


def screenshot(display, png_path):
    """Saves the whole screen of an X display as PNG (xwd + ImageMagick's convert)."""
    xwd = subprocess.run(["xwd", "-root", "-silent", "-display", display], check=True,
                         stdout=subprocess.PIPE).stdout
    convert = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else "convert"
    subprocess.run([convert, "xwd:-", "png:" + png_path], input=xwd, check=True)


def check_document(output):
    """The JSON document that `setup_vannix_check.exe --json` wrote in `output` (other programs'
    lines, such as Wine's own messages or vannix_launch's, around it are skipped), or None."""
    lines = output.splitlines()
    first = next((i for i, line in enumerate(lines) if line.rstrip("\r") == "{"), None)
    last = next((i for i in range(len(lines) - 1, -1, -1) if lines[i].rstrip("\r") == "}"), None)
    if first is None or last is None or last < first:
        return None
    return json.loads("\n".join(lines[first:last + 1]))


def check_findings(document):
    """{file name: (state, registration or "-")} of a check's JSON document."""
    return {f["name"]: (f["state"], f["registration"] or "-") for f in document["files"]}


def check_summary(document):
    """A line for a log: the verdict and the counts of a check's JSON document."""
    n = document["summary"]
    return "%s: %d of %d files as shipped, %d of %d servers registered, %d of %d classes (exit %d)" % (
        n["verdict"], n["as_shipped"], n["files"], n["registered"], n["servers"],
        n["classes_registered"], n["classes"], document["exit_code"])


class Stopwatch:
    def __init__(self):
        self.t0 = time.monotonic()

    def __str__(self):
        return "%.1f s" % (time.monotonic() - self.t0)
