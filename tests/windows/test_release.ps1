#Requires -Version 5.1
<#
.SYNOPSIS
    Installs a setup_vannix release on this Windows machine and checks, step by step, what it
    leaves: a fresh installation, a server held open by this script, the holder gone, a target
    whose permissions deny its deletion.

.DESCRIPTION
    Run it from an elevated Windows PowerShell on a machine that may keep what it installs (a
    hosted runner, a throwaway virtual machine), with setup_vannix.exe, setup_vannix_check.exe
    and setup_vannix.cdx.json beside it or in -ReleaseDir:

        powershell.exe -NoProfile -ExecutionPolicy Bypass -File test_release.ps1

    Each step prints what it saw, with "ok" or "FAIL" for each thing it expects. The exit code
    is 0 when everything was as expected, 1 otherwise. -OutDir keeps the log, each of the
    check's text outputs and JSON documents and the start-up task's definition.

    It does not restart the machine: what the restart does rests on Windows' documentation.
#>
param(
    # The folder of the three release files; default: this script's.
    [string]$ReleaseDir = '',
    # The deployment guide's detection script; default: beside this script, else the
    # repository's docs\setup_vannix_detect.ps1.
    [string]$DetectionScript = '',
    [string]$OutDir = ''
)

Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

$here = Split-Path -Parent $MyInvocation.MyCommand.Path
if (-not $ReleaseDir) { $ReleaseDir = $here }
if (-not $OutDir) { $OutDir = Join-Path $here 'results' }
$ReleaseDir = (Resolve-Path -LiteralPath $ReleaseDir).ProviderPath
if (-not $DetectionScript) {
    $DetectionScript = Join-Path $here 'setup_vannix_detect.ps1'
    if (-not (Test-Path -LiteralPath $DetectionScript)) {
        $DetectionScript = Join-Path $here '..\..\docs\setup_vannix_detect.ps1'
    }
}
$Installer = Join-Path $ReleaseDir 'setup_vannix.exe'
$Check = Join-Path $ReleaseDir 'setup_vannix_check.exe'
$Record = Join-Path $ReleaseDir 'setup_vannix.cdx.json'

New-Item -ItemType Directory -Force -Path $OutDir | Out-Null
$OutDir = (Resolve-Path -LiteralPath $OutDir).ProviderPath
$script:Log = Join-Path $OutDir 'test_release.log'
Set-Content -LiteralPath $script:Log -Value '' -Encoding UTF8
$script:Failures = 0

# The catalogue in installation order, and the six COM servers among its files.
$Catalogue = @('KorviX.dll', 'KorviDataSetX.dll', 'msxml6.dll', 'KorviGovX.ocx', 'midas.dll',
    'stdvcl40.dll', 'ssleay32.dll', 'libeay32.dll', 'msxml6r.dll', 'qelKorviLibUNICODE.dll',
    'qelKorviLib.dll')
$Servers = @('KorviX.dll', 'KorviDataSetX.dll', 'msxml6.dll', 'KorviGovX.ocx', 'midas.dll',
    'stdvcl40.dll')
# Windows' own, protected files of these names (Windows Resource Protection).
$WindowsOwn = @('msxml6.dll', 'msxml6r.dll')
$Administrators = '*S-1-5-32-544'

# ---- output and expectations ----

function Write-Line([string]$Text) {
    Write-Host $Text
    Add-Content -LiteralPath $script:Log -Value $Text -Encoding UTF8
}

function Write-Step([string]$Title) {
    Write-Line ''
    Write-Line ('== {0}' -f $Title)
}

function Save-Text([string]$Name, [string]$Text) {
    [System.IO.File]::WriteAllText((Join-Path $OutDir $Name), $Text)
}

function Show-Text([string]$Text) {
    foreach ($line in ($Text -split "`r?`n")) {
        if ($line) { Write-Line ('    | ' + $line) }
    }
}

function Assert-Same([string]$What, $Expected, $Seen, [switch]$IgnoreCase) {
    $same = if ($IgnoreCase) { "$Expected" -eq "$Seen" } else { "$Expected" -ceq "$Seen" }
    if ($same) {
        Write-Line ('  ok    {0}: {1}' -f $What, $Seen)
    } else {
        $script:Failures++
        Write-Line ('  FAIL  {0}: expected {1}, saw {2}' -f $What, $Expected, $Seen)
    }
}

function Assert-True([string]$What, [bool]$Condition, [string]$Seen) {
    if ($Condition) {
        Write-Line ('  ok    {0}: {1}' -f $What, $Seen)
    } else {
        $script:Failures++
        Write-Line ('  FAIL  {0}: saw {1}' -f $What, $Seen)
    }
}

# ---- running programs ----

# Decodes a program's output: UTF-16 where it wrote UTF-16 (schtasks may), else UTF-8 (the
# check's output to a pipe; ASCII is the same in every code page).
function ConvertFrom-Output([byte[]]$Bytes) {
    $bom = $Bytes.Length -ge 2 -and $Bytes[0] -eq 0xFF -and $Bytes[1] -eq 0xFE
    if ($bom -or ($Bytes.Length -ge 2 -and $Bytes[1] -eq 0)) {
        return [System.Text.Encoding]::Unicode.GetString($Bytes).TrimStart([char]0xFEFF)
    }
    return [System.Text.Encoding]::UTF8.GetString($Bytes).TrimStart([char]0xFEFF)
}

# Runs a console program, waits for it and returns its exit code and both outputs. Its error
# output is read here, never handed to PowerShell, which would make records of it that
# $ErrorActionPreference = 'Stop' ends the script on.
function Invoke-Program([string]$File, [string]$Arguments) {
    $start = New-Object System.Diagnostics.ProcessStartInfo
    $start.FileName = $File
    $start.Arguments = $Arguments
    $start.UseShellExecute = $false
    $start.CreateNoWindow = $true
    $start.RedirectStandardOutput = $true
    $start.RedirectStandardError = $true
    $process = [System.Diagnostics.Process]::Start($start)
    $out = New-Object System.IO.MemoryStream
    $err = New-Object System.IO.MemoryStream
    $reading = $process.StandardError.BaseStream.CopyToAsync($err)
    $process.StandardOutput.BaseStream.CopyTo($out)
    $reading.Wait()
    $process.WaitForExit()
    return New-Object PSObject -Property @{
        ExitCode = $process.ExitCode
        Out = ConvertFrom-Output $out.ToArray()
        Err = ConvertFrom-Output $err.ToArray()
    }
}

function Invoke-Installer {
    $process = Start-Process -FilePath $Installer -Wait -PassThru
    Assert-Same 'setup_vannix.exe exit code' 0 $process.ExitCode
}

# The check, as text and as JSON: both outputs kept as <Name>-check.txt and .json. Returns the
# document with the text output's exit code and summary line beside it.
function Invoke-Check([string]$Name) {
    $text = Invoke-Program $Check ''
    Save-Text "$Name-check.txt" $text.Out
    Write-Line ('  setup_vannix_check.exe: exit code {0}' -f $text.ExitCode)
    Show-Text $text.Out
    if ($text.Err) {
        Write-Line '  its error output:'
        Show-Text $text.Err
    }
    $json = Invoke-Program $Check '--json'
    Save-Text "$Name-check.json" $json.Out
    Assert-Same 'setup_vannix_check.exe --json: the same exit code' $text.ExitCode $json.ExitCode
    $report = $json.Out | ConvertFrom-Json
    $files = @{}
    foreach ($file in $report.files) { $files[$file.name] = $file }
    $lines = @($text.Out -split "`r?`n" | Where-Object { $_ })
    return New-Object PSObject -Property @{
        ExitCode = $text.ExitCode
        Summary = $(if ($lines.Count -gt 0) { $lines[-1] } else { '' })
        Report = $report
        Files = $files
    }
}

# Each file's state and registration as the JSON document gives them: <state> for all but
# those in $States (name => state) and $Registrations (name => registration).
function Assert-Files($Found, [hashtable]$States, [hashtable]$Registrations) {
    foreach ($name in $Catalogue) {
        $state = 'ok'
        if ($WindowsOwn -contains $name) { $state = 'windows' }
        if ($States.ContainsKey($name)) { $state = $States[$name] }
        $registration = '-'
        if ($Servers -contains $name) { $registration = 'registered' }
        if ($Registrations.ContainsKey($name)) { $registration = $Registrations[$name] }
        if (-not $Found.Files.ContainsKey($name)) {
            Assert-True "$name in the JSON document" $false 'not there'
            continue
        }
        $file = $Found.Files[$name]
        $seen = $file.registration
        if ($null -eq $seen) { $seen = '-' }
        Assert-Same "$name state, registration" "$state, $registration" "$($file.state), $seen"
    }
}

function Get-Sha256([string]$Path) {
    $sha = [System.Security.Cryptography.SHA256]::Create()
    $stream = [System.IO.File]::Open($Path, 'Open', 'Read', 'ReadWrite, Delete')
    try {
        return -join ($sha.ComputeHash($stream) | ForEach-Object { $_.ToString('x2') })
    } finally {
        $stream.Dispose()
        $sha.Dispose()
    }
}

# Every rename of Windows' lists for the next start: (value, source, destination) each.
function Get-PendingRenames {
    $key = Get-Item -LiteralPath 'HKLM:\SYSTEM\CurrentControlSet\Control\Session Manager'
    $renames = @()
    foreach ($value in 'PendingFileRenameOperations', 'PendingFileRenameOperations2') {
        $entries = @($key.GetValue($value))
        for ($i = 0; $i + 1 -lt $entries.Count; $i += 2) {
            $renames += New-Object PSObject -Property @{
                Value = $value; Source = $entries[$i]; Destination = $entries[$i + 1]
            }
        }
    }
    return $renames
}

# The renames whose source or destination names the file at $Path or a file beside it whose
# name begins with the file's (its waiting copy).
function Find-Renames([string]$Path) {
    $pattern = '^!?\\\?\?\\' + [regex]::Escape($Path) + '(\.|$)'
    return @(Get-PendingRenames | Where-Object {
            $_.Source -match $pattern -or $_.Destination -match $pattern })
}

function Format-Rename($Rename) {
    return '{0}: "{1}" -> "{2}"' -f $Rename.Value, $Rename.Source, $Rename.Destination
}

function Show-Renames($Renames) {
    if (@($Renames).Count -eq 0) { Write-Line '    | (none)' }
    foreach ($r in $Renames) { Write-Line ('    | ' + (Format-Rename $r)) }
}

# A tool of Windows' own system directory (takeown, icacls, schtasks).
function Invoke-Tool([string]$Name, [string]$Arguments) {
    return Invoke-Program (Join-Path $env:windir "System32\$Name") $Arguments
}

function Invoke-Detection {
    $powershell = Join-Path $PSHOME 'powershell.exe'
    $format = '-NoProfile -ExecutionPolicy Bypass -File "{0}" -Check "{1}"'
    $arguments = $format -f $DetectionScript, $Check
    $run = Invoke-Program $powershell $arguments
    Write-Line ('  {0}: exit code {1}' -f (Split-Path -Leaf $DetectionScript), $run.ExitCode)
    Show-Text $run.Out
    Show-Text $run.Err
    return $run
}

function Get-Text($Node) {
    if ($null -eq $Node) { return '(none)' }
    return $Node.InnerText
}

# ---- the steps ----

function Test-Release {
    Write-Step 'the release and this machine'
    $identity = [Security.Principal.WindowsIdentity]::GetCurrent()
    $principal = New-Object Security.Principal.WindowsPrincipal($identity)
    $elevated = $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)
    Assert-True 'running elevated' $elevated $identity.Name
    Write-Line ('  Windows {0}, 64-bit: {1}; PowerShell {2}' -f [Environment]::OSVersion.Version,
        [Environment]::Is64BitOperatingSystem, $PSVersionTable.PSVersion)
    foreach ($path in $Installer, $Check, $Record, $DetectionScript) {
        Assert-True "there: $path" (Test-Path -LiteralPath $path -PathType Leaf) "$path"
    }
    if (-not $elevated -or $script:Failures -gt 0) { throw 'cannot go on without these' }

    $variant = '32'
    $sysdir = Join-Path $env:windir 'System32'
    if ([Environment]::Is64BitOperatingSystem) {
        $variant = '64'
        $sysdir = Join-Path $env:windir 'SysWOW64'
    }
    # The release record: both programs as built, and this release's files of this variant.
    $bom = Get-Content -LiteralPath $Record -Raw | ConvertFrom-Json
    $recorded = @{ 'setup_vannix.exe' = $bom.metadata.component.hashes[0].content }
    foreach ($c in $bom.components) { $recorded[$c.'bom-ref'] = $c.hashes[0].content }
    foreach ($program in $Installer, $Check) {
        $name = Split-Path -Leaf $program
        Assert-Same "$name SHA-256 (the record's)" $recorded[$name] (Get-Sha256 $program)
    }

    Write-Step '1. a fresh installation'
    Invoke-Installer
    $found = Invoke-Check 'step1'
    Assert-Same 'check exit code' 0 $found.ExitCode
    Assert-Same 'exit_code of the JSON document' 0 $found.Report.exit_code
    Assert-Same 'payload variant' $variant $found.Report.release.payload_variant
    Assert-Same 'system directory' ($sysdir + '\') $found.Report.system_directory -IgnoreCase
    Assert-Files $found @{} @{}
    $summary = 'complete: 9 of 11 files as shipped, 2 owned by Windows, 6 of 6 servers ' +
        'registered, {0} of {0} classes machine-wide ("{1}" payload)'
    Assert-Same 'summary line' ($summary -f $found.Report.summary.classes, $variant) $found.Summary
    foreach ($name in $Catalogue) {
        if ($found.Files.ContainsKey($name)) {
            $shipped = $recorded["payload/$variant/$name"]
            $table = $found.Files[$name].expected.sha256
            Assert-Same "$name SHA-256 the check expects (the record's)" $shipped $table
        }
    }
    foreach ($name in $WindowsOwn) {
        if ($found.Files.ContainsKey($name) -and $null -ne $found.Files[$name].versions) {
            Write-Line ('  {0}: Windows'' version {1}, this release''s {2}' -f $name,
                $found.Files[$name].versions.installed, $found.Files[$name].versions.release)
        }
    }
    if ($found.Files.ContainsKey('msxml6.dll') -and $null -ne $found.Files['msxml6.dll'].classes) {
        foreach ($c in $found.Files['msxml6.dll'].classes) {
            Assert-Same "msxml6.dll class $($c.clsid)" 'registered' $c.state
        }
    }
    $detected = Invoke-Detection
    Assert-Same 'detection script exit code' 0 $detected.ExitCode
    Assert-Same 'detection script output' 'detected' $detected.Out.Trim()

    $target = Join-Path $sysdir 'KorviX.dll'
    $waiting = $target + '.vannix-new'
    $task = 'setup_vannix KorviX.dll'
    $expected = $found.Files['KorviX.dll'].expected.sha256
    Write-Step "2. $target held by this script (no sharing), an earlier build in its place"
    # This release's file with bytes appended: the same server, but not this release's bytes,
    # which a held target would keep as it is.
    $append = [System.IO.File]::Open($target, 'Append', 'Write', 'None')
    $extra = [System.Text.Encoding]::ASCII.GetBytes('an earlier build')
    $append.Write($extra, 0, $extra.Length)
    $append.Dispose()
    $holder = [System.IO.File]::Open($target, 'Open', 'Read', 'None')
    try {
        Invoke-Installer
        $found = Invoke-Check 'step2'
        Assert-Same 'check exit code' 3010 $found.ExitCode
        Assert-Same 'exit_code of the JSON document' 3010 $found.Report.exit_code
        Assert-Files $found @{ 'KorviX.dll' = 'pending' } @{ 'KorviX.dll' = 'after restart' }
        $prefix = 'restart pending: 8 of 11 files as shipped, 2 owned by Windows, 1 replaced at ' +
            'the next restart, 5 of 6 servers registered, 1 after the restart, '
        $begins = $found.Summary.StartsWith($prefix)
        Assert-True "summary line begins with `"$prefix`"" $begins $found.Summary
        Assert-True "$waiting there" (Test-Path -LiteralPath $waiting) "$waiting"
        if (Test-Path -LiteralPath $waiting) {
            Assert-Same "$waiting SHA-256 (this release's)" $expected (Get-Sha256 $waiting)
        }

        $query = Invoke-Tool 'schtasks.exe' ('/query /tn "{0}" /xml' -f $task)
        Save-Text 'step2-task.xml' $query.Out
        Assert-Same "schtasks /query /tn `"$task`" /xml exit code" 0 $query.ExitCode
        Show-Text $query.Out
        if ($query.ExitCode -eq 0) {
            $xml = [xml]$query.Out
            $ns = New-Object System.Xml.XmlNamespaceManager($xml.NameTable)
            $ns.AddNamespace('t', 'http://schemas.microsoft.com/windows/2004/02/mit/task')
            $triggers = @($xml.SelectNodes('/t:Task/t:Triggers/t:BootTrigger', $ns))
            Assert-Same 'boot triggers' 1 $triggers.Count
            $user = $xml.SelectSingleNode('/t:Task/t:Principals/t:Principal/t:UserId', $ns)
            Assert-Same 'UserId' 'S-1-5-18' (Get-Text $user)
            $actions = @($xml.SelectNodes('/t:Task/t:Actions/t:Exec', $ns))
            Assert-Same 'Exec actions' 2 $actions.Count
            $lines = @($actions | ForEach-Object {
                    '{0} {1}' -f (Get-Text $_.SelectSingleNode('t:Command', $ns)),
                    (Get-Text $_.SelectSingleNode('t:Arguments', $ns)) })
            $wanted = @(('{0}\regsvr32.exe /s "{1}"' -f $sysdir, $target),
                ('{0}\schtasks.exe /delete /tn "{1}" /f' -f $sysdir, $task))
            for ($i = 0; $i -lt $wanted.Count -and $i -lt $lines.Count; $i++) {
                Assert-Same "action $($i + 1)" $wanted[$i] $lines[$i] -IgnoreCase
            }
        }

        $renames = @(Find-Renames $target)
        Write-Line '  Windows'' renames at the next start naming it:'
        Show-Renames $renames
        $text = @($renames | ForEach-Object { Format-Rename $_ }) -join "`r`n"
        Save-Text 'step2-renames.txt' $text
        Assert-Same 'renames naming it' 1 $renames.Count
        if ($renames.Count -eq 1) {
            $rename = '{0} -> {1}' -f $renames[0].Source, $renames[0].Destination
            $wanted = '\??\{0} -> !\??\{1}' -f $waiting, $target
            Assert-Same 'the rename' $wanted $rename -IgnoreCase
        }

        Write-Step "3. the holder gone, the installer once more"
        $holder.Dispose()
        $holder = $null
        Invoke-Installer
        Assert-Same "$target SHA-256 (this release's)" $expected (Get-Sha256 $target)
        Assert-True "$waiting gone" (-not (Test-Path -LiteralPath $waiting)) "$waiting"
        $found = Invoke-Check 'step3'
        Assert-Same 'check exit code' 0 $found.ExitCode
        Assert-Files $found @{} @{}
        # Windows' list keeps the rename, now without a source, until the restart, which skips
        # it; the start-up task stays for that restart, registers the file there once and
        # removes itself.
        $query = Invoke-Tool 'schtasks.exe' ('/query /tn "{0}"' -f $task)
        Assert-Same "schtasks /query /tn `"$task`" exit code (the task kept)" 0 $query.ExitCode
        $renames = @(Find-Renames $target)
        Show-Renames $renames
        Assert-Same 'renames naming it' 1 $renames.Count
        if ($renames.Count -eq 1) {
            $wanted = '\??\{0}' -f $waiting
            Assert-Same 'the rename, still listed' $wanted $renames[0].Source -IgnoreCase
        }
        Write-Line "  left as they are: the task `"$task`" and the rename (no restart here)"
    } finally {
        if ($null -ne $holder) { $holder.Dispose() }
    }

    $refused = Join-Path $sysdir 'ssleay32.dll'
    Write-Step "4. $refused other bytes, its deletion denied to Administrators"
    $append = [System.IO.File]::Open($refused, 'Append', 'Write', 'None')
    $append.Write($extra, 0, $extra.Length)
    $append.Dispose()
    $owner = Invoke-Tool 'takeown.exe' ('/f "{0}" /a' -f $refused)
    Assert-Same 'takeown /a exit code' 0 $owner.ExitCode
    $deny = Invoke-Tool 'icacls.exe' ('"{0}" /deny {1}:(DE)' -f $refused, $Administrators)
    Assert-Same "icacls /deny $($Administrators):(DE) exit code" 0 $deny.ExitCode
    try {
        Show-Text (Invoke-Tool 'icacls.exe' ('"{0}"' -f $refused)).Out
        Invoke-Installer
        $found = Invoke-Check 'step4'
        Assert-Same 'check exit code' 1 $found.ExitCode
        Assert-Files $found @{ 'ssleay32.dll' = 'differs' } @{}
        $renames = @(Find-Renames $refused)
        Show-Renames $renames
        Assert-Same 'renames naming it' 0 $renames.Count
        $query = Invoke-Tool 'schtasks.exe' '/query /tn "setup_vannix ssleay32.dll"'
        $seen = "schtasks /query exit code $($query.ExitCode)"
        Assert-True 'no task "setup_vannix ssleay32.dll"' ($query.ExitCode -ne 0) $seen
        $left = @([System.IO.Directory]::GetFiles($sysdir, 'ssleay32.dll.vannix-*'))
        Assert-Same 'ssleay32.dll.vannix-* files' '' ($left -join ', ')
        $detected = Invoke-Detection
        Assert-Same 'detection script exit code' 1 $detected.ExitCode
        $named = $detected.Out -match '(?m)^ssleay32\.dll: differs'
        $said = $detected.Out -match '(?m)^detected'
        $what = 'detection script output names it, never "detected"'
        Assert-True $what ($named -and -not $said) $detected.Out.Trim()
    } finally {
        $restore = Invoke-Tool 'icacls.exe' ('"{0}" /remove:d {1}' -f $refused, $Administrators)
        Write-Line ('  icacls /remove:d {0}: exit code {1}' -f $Administrators, $restore.ExitCode)
    }

    Write-Step '5. the permissions restored, the installer once more'
    Invoke-Installer
    $found = Invoke-Check 'step5'
    Assert-Same 'check exit code' 0 $found.ExitCode
    Assert-Files $found @{} @{}
}

try {
    Test-Release
} catch {
    $script:Failures++
    Write-Line ('  FAIL  stopped: {0}' -f $_.Exception.Message)
    Write-Line ($_.InvocationInfo.PositionMessage)
}
Write-Line ''
Write-Line 'Not made here: a restart. What it does rests on Windows'' documentation: Session'
Write-Line 'Manager makes the listed renames early in the start, skipping one whose source is gone,'
Write-Line 'and a task with a boot trigger runs as SYSTEM when Windows starts, before any logon.'
if ($script:Failures -gt 0) {
    Write-Line ('{0} expectation(s) not met' -f $script:Failures)
    exit 1
}
Write-Line 'everything as expected'
exit 0
