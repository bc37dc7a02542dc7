# Runs tavrin.exe once on a Windows host and tells the play what that run left behind:
# $Ansible.Result holds status, folder, console (a file in the user's temp folder,
# fetched byte for byte; removed when empty), console_size, first (the console's first line, printable
# ASCII only) and new (the result files of the command that appeared during the run).
[CmdletBinding()]
param (
    [Parameter(Mandatory = $true)] [string] $Program,
    [Parameter(Mandatory = $true)] [string] $Folder,
    [Parameter(Mandatory = $true)] [ValidateSet('list', 'repair', 'listall')] [string] $Command,
    [AllowEmptyCollection()] [AllowEmptyString()] [string[]] $Paths = @()
)
$ErrorActionPreference = 'Stop'
$Ansible.Changed = $false
$Program = [Environment]::ExpandEnvironmentVariables($Program)
$Folder = [Environment]::ExpandEnvironmentVariables($Folder)
$suffix = @{ list = 'badFiles.txt'; repair = 'couldNotFix.txt'; listall = 'allFiles.txt' }[$Command]
$pattern = '^-?[0-9]+' + [regex]::Escape($suffix) + '$'

# Names of the form <tick digits><suffix>; links are never taken for a result.
function Get-ResultName {
    if (-not (Test-Path -LiteralPath $Folder -PathType Container)) { return @() }
    @(Get-ChildItem -LiteralPath $Folder -File -Force |
        Where-Object { $_.Name -cmatch $pattern -and -not ($_.Attributes -band [IO.FileAttributes]::ReparsePoint) } |
        ForEach-Object { $_.Name })
}

# One argument as the C runtime splits a command line: quotes around blanks,
# backslashes doubled before a quote, an empty argument as "".
function ConvertTo-Argument([string] $Text) {
    if ($Text.Length -gt 0 -and $Text -notmatch '[\s"]') { return $Text }
    '"' + (($Text -replace '(\\*)"', '$1$1\"') -replace '(\\+)$', '$1$1') + '"'
}

$console = [System.IO.Path]::GetTempFileName()
# Another play on this host waits here, so its result file is never taken for ours.
$mutex = New-Object System.Threading.Mutex($false, 'Global\tavrin-ansible')
try { [void]$mutex.WaitOne() } catch [System.Threading.AbandonedMutexException] { }
try {
    $before = @(Get-ResultName)  # @(): no name is an empty list, never $null
    $info = New-Object System.Diagnostics.ProcessStartInfo
    $info.FileName = $Program
    $info.Arguments = (@($Command) + $Paths | ForEach-Object { ConvertTo-Argument $_ }) -join ' '
    $info.UseShellExecute = $false
    $info.CreateNoWindow = $true
    $info.RedirectStandardOutput = $true
    $info.RedirectStandardError = $true
    $process = [System.Diagnostics.Process]::Start($info)
    $stderr = $process.StandardError.ReadToEndAsync()
    $out = [System.IO.File]::Create($console)
    try { $process.StandardOutput.BaseStream.CopyTo($out) } finally { $out.Dispose() }
    $process.WaitForExit()
    $after = @(Get-ResultName)
} finally {
    $mutex.ReleaseMutex()
    $mutex.Dispose()
}

$buffer = New-Object byte[] 1000
$stream = [System.IO.File]::OpenRead($console)
try { $count = $stream.Read($buffer, 0, $buffer.Length) } finally { $stream.Dispose() }
$first = New-Object System.Text.StringBuilder
for ($i = 0; $i -lt $count -and $buffer[$i] -ne 10 -and $buffer[$i] -ne 13; $i++) {
    if ($buffer[$i] -ge 32 -and $buffer[$i] -le 126) { [void]$first.Append([char]$buffer[$i]) }
    else { [void]$first.Append('?') }
}

$size = (Get-Item -LiteralPath $console).Length
if ($size -eq 0) { Remove-Item -LiteralPath $console }  # only a console with text is fetched

$Ansible.Result = @{
    status = $process.ExitCode
    folder = $Folder
    console = $console
    console_size = $size
    first = $first.ToString()
    new = @($after | Where-Object { $before -cnotcontains $_ })
    stderr = $stderr.Result
}
