#!/usr/bin/python3
"""The hosted Windows job (.github/workflows/windows.yml) as far as it can be judged here, where
neither GitHub Actions nor PowerShell runs: the keys GitHub documents, the build the README
gives, artifacts that the Windows jobs download as the build job uploads them, holding what this
build makes and what tests/windows/test_release.ps1 reads, and a static look at that script and
the deployment guide's detection script. Nothing here runs them.

Environment: SETUP_VANNIX_SOURCE_DIR (the source tree), SETUP_VANNIX_BUILD_DIR (the win32 build).
"""
import os
import re
import unittest

import yaml

SOURCE = os.environ.get("SETUP_VANNIX_SOURCE_DIR",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BUILD = os.environ.get("SETUP_VANNIX_BUILD_DIR", os.path.join(SOURCE, "build", "win32"))
SCRIPT = "tests/windows/test_release.ps1"
DETECTION = "docs/setup_vannix_detect.ps1"

# GitHub's workflow syntax: the keys a workflow, a job and a step may have.
WORKFLOW_KEYS = {"name", "run-name", "on", "permissions", "env", "defaults", "concurrency", "jobs"}
JOB_KEYS = {"name", "permissions", "needs", "if", "runs-on", "environment", "concurrency",
            "outputs", "env", "defaults", "steps", "timeout-minutes", "strategy",
            "continue-on-error", "container", "services"}
STEP_KEYS = {"id", "if", "name", "uses", "run", "working-directory", "shell", "with", "env",
             "continue-on-error", "timeout-minutes"}
# The cmdlets of Windows PowerShell 5.1's own modules that the scripts may use: no module from
# anywhere else.
BUILT_IN = {"Add-Content", "ConvertFrom-Json", "ForEach-Object", "Get-Content", "Get-Item",
            "Join-Path", "New-Item", "New-Object", "Out-Null", "Out-String", "Resolve-Path",
            "Set-Content", "Set-StrictMode", "Split-Path", "Start-Process", "Test-Path",
            "Where-Object", "Write-Host", "Write-Output"}


class Yaml12Loader(yaml.SafeLoader):
    """YAML as GitHub reads it: `on` is a key, not the boolean YAML 1.1 makes of it."""


Yaml12Loader.yaml_implicit_resolvers = {
    k: [(tag, rx) for tag, rx in v if tag != "tag:yaml.org,2002:bool"]
    for k, v in yaml.SafeLoader.yaml_implicit_resolvers.items()}
Yaml12Loader.add_implicit_resolver("tag:yaml.org,2002:bool", re.compile(r"^(?:true|false)$"),
                                   list("tf"))


def read(relative):
    with open(os.path.join(SOURCE, relative), encoding="utf-8") as f:
        return f.read()


def workflow():
    return yaml.load(read(".github/workflows/windows.yml"), Loader=Yaml12Loader)


def steps_using(job, action):
    return [s for s in job["steps"] if s.get("uses", "").split("@")[0] == action]


def powershell_code(text):
    """The text with comments and string literals blanked (their characters become spaces, line
    ends kept), so that brackets and command names can be read. Subexpressions $( ) inside
    double-quoted strings stay code."""
    out, i, n = [], 0, len(text)

    def blank(s):
        return re.sub(r"[^\n]", " ", s)

    while i < n:
        c, two = text[i], text[i:i + 2]
        if two == "<#":
            end = text.index("#>", i) + 2
            out.append(blank(text[i:end]))
            i = end
        elif c == "#":
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(blank(text[i:end]))
            i = end
        elif c == "`":
            out.append("  ")
            i += 2
        elif c == "'":
            j = i + 1
            while not (text[j] == "'" and text[j + 1:j + 2] != "'"):
                j += 2 if text[j:j + 2] == "''" else 1
            out.append(blank(text[i:j + 1]))
            i = j + 1
        elif c == '"':
            j, parts = i + 1, [" "]
            while text[j] != '"':
                if text[j] == "`":
                    parts.append("  ")
                    j += 2
                elif text[j:j + 2] == "$(":
                    depth, k = 1, j + 2
                    while depth:
                        depth += {"(": 1, ")": -1}.get(text[k], 0)
                        k += 1
                    parts.append(powershell_code(text[j:k]))
                    j = k
                else:
                    parts.append(blank(text[j]))
                    j += 1
            out.append("".join(parts) + " ")
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


class Workflow(unittest.TestCase):
    def setUp(self):
        self.flow = workflow()
        self.jobs = self.flow["jobs"]
        self.build = self.jobs["build"]
        self.windows = self.jobs["windows"]

    def test_only_keys_github_documents(self):
        self.assertLessEqual(set(self.flow), WORKFLOW_KEYS)
        self.assertIn("push", self.flow["on"])
        for name, job in self.jobs.items():
            with self.subTest(job=name):
                self.assertLessEqual(set(job), JOB_KEYS)
                self.assertIn("runs-on", job)
                for step in job["steps"]:
                    self.assertLessEqual(set(step), STEP_KEYS, step)
                    self.assertEqual(("uses" in step) + ("run" in step), 1, step)
                    if "uses" in step:
                        self.assertRegex(step["uses"], r"^[\w-]+/[\w-]+@v\d+$")

    def test_the_build_job_builds_as_the_readme_and_test_sh_do(self):
        self.assertEqual(self.build["runs-on"], "ubuntu-latest")
        self.assertEqual(self.build["container"], "debian:12")
        runs = [s["run"] for s in self.build["steps"] if "run" in s]
        self.assertIn("sh tools/install-deps.sh --build-only", runs)
        self.assertIn("sh tools/build.sh", runs)
        self.assertIn("\nsh tools/build.sh\n", read("tools/test.sh"))
        self.assertIn("-B build/win32 ", read("tools/build.sh"))
        self.assertLess(runs.index("sh tools/install-deps.sh --build-only"),
                        runs.index("sh tools/build.sh"))

    def test_the_artifact_holds_the_release_this_build_makes(self):
        [upload] = steps_using(self.build, "actions/upload-artifact")
        self.assertEqual(upload["with"]["name"], "release")
        self.assertEqual(upload["with"]["if-no-files-found"], "error")
        paths = upload["with"]["path"].split()
        self.assertEqual(paths, ["build/win32/setup_vannix.exe", "build/win32/setup_vannix_check.exe",
                                 "build/win32/setup_vannix.cdx.json"])
        for path in paths:
            with self.subTest(path=path):
                self.assertTrue(os.path.isfile(os.path.join(BUILD, path[len("build/win32/"):])))

    def test_windows_jobs_download_what_the_build_job_uploads(self):
        self.assertEqual(self.windows["needs"], "build")
        self.assertEqual(self.windows["runs-on"], "${{ matrix.os }}")
        self.assertEqual(self.windows["strategy"]["matrix"]["os"], ["windows-2022", "windows-2025"])
        uploaded = {s["with"]["name"] for s in steps_using(self.build, "actions/upload-artifact")}
        downloads = steps_using(self.windows, "actions/download-artifact")
        self.assertEqual([d["with"]["name"] for d in downloads], ["release"])
        self.assertLessEqual({d["with"]["name"] for d in downloads}, uploaded)

    def test_the_script_runs_in_windows_powershell_and_its_results_are_kept(self):
        [run] = [s for s in self.windows["steps"] if "run" in s]
        self.assertEqual(run["shell"], "cmd")
        self.assertEqual(run["run"], "powershell.exe -NoProfile -ExecutionPolicy Bypass -File "
                                     "tests\\windows\\test_release.ps1 -ReleaseDir release "
                                     "-OutDir results")
        [download] = steps_using(self.windows, "actions/download-artifact")
        self.assertEqual(download["with"]["path"], "release")
        [upload] = steps_using(self.windows, "actions/upload-artifact")
        self.assertEqual(upload["if"], "always()")
        self.assertEqual(upload["with"], {"name": "results-${{ matrix.os }}", "path": "results"})
        self.assertEqual([s.get("uses") for s in self.windows["steps"]][0], "actions/checkout@v4")

    def test_every_release_file_the_script_reads_is_in_the_artifact(self):
        [upload] = steps_using(self.build, "actions/upload-artifact")
        shipped = {os.path.basename(p) for p in upload["with"]["path"].split()}
        read_there = set(re.findall(r"Join-Path \$ReleaseDir '([^']+)'", read(SCRIPT)))
        self.assertEqual(read_there, shipped)
        beside = re.findall(r"Join-Path \$here '([^']+)'", read(SCRIPT))
        self.assertIn("..\\..\\docs\\setup_vannix_detect.ps1", beside)
        self.assertTrue(os.path.isfile(os.path.join(SOURCE, DETECTION)))
        self.assertTrue("(setup_vannix_detect.ps1)" in read("docs/deploying.md"),
                        "docs/deploying.md does not link the detection script")


class PowerShellScripts(unittest.TestCase):
    """What can be seen of the scripts without PowerShell."""

    def test_ascii_balanced_and_only_windows_powershell_cmdlets(self):
        for path in (SCRIPT, DETECTION):
            with self.subTest(script=path):
                text = read(path)
                # Windows PowerShell 5.1 reads a file without a byte order mark in the ANSI code page.
                self.assertTrue(text.isascii())
                code = powershell_code(text)
                for opening, closing in ("()", "[]", "{}"):
                    self.assertEqual(code.count(opening), code.count(closing), opening + closing)
                # PowerShell 7's operators.
                self.assertNotRegex(code, r"&&|\|\||\?\?|\?\.")
                defined = set(re.findall(r"^\s*function ([\w-]+)", code, re.M))
                used = set(re.findall(r"(?<![\w$.-])([A-Z][A-Za-z]+-[A-Z]\w+)", code)) - defined
                self.assertLessEqual(used, BUILT_IN)

    def test_the_test_script_is_strict_and_defines_each_function_before_calling_it(self):
        text = read(SCRIPT)
        self.assertTrue(text.startswith("#Requires -Version 5.1\n"))
        # Strict before anything runs: only the help and the parameters come first.
        strict = "\nSet-StrictMode -Version Latest\n$ErrorActionPreference = 'Stop'\n"
        self.assertIn(strict, text)
        self.assertEqual(text.index(strict), text.index("\n)\n") + 3)  # after the blank line
        code = powershell_code(text)
        definitions = {m.group(1): m.start() for m in re.finditer(r"^function ([\w-]+)", code, re.M)}
        self.assertGreater(len(definitions), 10)
        depth, outside = 0, []
        for i, c in enumerate(code):  # the positions of code outside every brace
            depth += {"{": 1, "}": -1}.get(c, 0)
            outside.append(depth == 0)
        for name, at in definitions.items():
            calls = [m.start() for m in re.finditer(r"(?<![\w-])%s(?![\w-])" % re.escape(name), code)
                     if m.start() != at + len("function ")]
            with self.subTest(function=name):
                self.assertTrue(calls, "never called")
                self.assertEqual([c for c in calls if outside[c] and c < at], [])


if __name__ == "__main__":
    unittest.main()
