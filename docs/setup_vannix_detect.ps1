# setup_vannix_detect.ps1: tells a deployment tool whether setup_vannix is installed, from the
# check's JSON document (docs/deploying.md, "The check's verdict as data").
#
# Installed (the check's exit code 0, or 3010: only a restart is missing): writes "detected" and
# exits 0. Otherwise it writes each file that is wrong and the verdict (or why the check could
# not run) and exits 1. That is what Intune takes from a Win32 app's custom detection script
# (exit code 0 and something on the standard output: detected) and from the detection script of
# a remediation (exit code 1: the issue is there, run the remediation); Configuration Manager's
# script detection method reads exit code 1 as a failed detection, not as "not installed".
#
# The check is looked for where the package left it; edit the default below, as deployment
# tools start detection scripts without arguments. Needs PowerShell 3.0 or later.
param(
    [string]$Check = (Join-Path $env:ProgramData 'setup_vannix\setup_vannix_check.exe')
)
# Errors stay non-terminating: Windows PowerShell may turn the check's error output into error
# records (it does where that output is redirected, as under a deployment agent), and those must
# not end the script.
if (-not (Test-Path -LiteralPath $Check -PathType Leaf)) {
    Write-Output ('no check at {0}' -f $Check)
    exit 1
}
try {
    # The document alone: the check's error output is not merged into it.
    $report = & $Check --json | Out-String | ConvertFrom-Json
} catch {
    $report = $null
}
if ($null -eq $report) {
    Write-Output ('no JSON document from {0}' -f $Check)
    exit 1
}
if ($report.exit_code -in 0, 3010) {
    Write-Output 'detected'
    exit 0
}
foreach ($file in $report.files) {
    if ($file.state -notin 'ok', 'windows', 'pending' -or $file.registration -eq 'not registered') {
        Write-Output ('{0}: {1}, {2}' -f $file.name, $file.state, $file.registration)
    }
}
if ($report.PSObject.Properties['error']) {
    Write-Output ('the check could not be made: {0}' -f $report.error)
} else {
    Write-Output $report.summary.verdict
}
exit 1
