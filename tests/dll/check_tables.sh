#!/usr/bin/env bash
# Checks a built Kovaltherm.dll's headers: machine (32-bit x86 or x64), module name, the seven exports with
# their ordinals (and nothing else), imports only from the allowed system DLLs and only
# functions that Windows 95 and NT 4.0 both have, and the version resource.
# Usage: check_tables.sh OBJDUMP DLL x86|x64 VERSION
set -u
objdump=$1
dll=$2
machine=$3
version=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

case $machine in
x86) format=pei-i386 architecture=i386 magic='010b.*(PE32)' ;;
x64) format=pei-x86-64 architecture=i386:x86-64 magic='020b.*(PE32+)' ;;
*) echo "FAIL: unknown machine '$machine'"; exit 1 ;;
esac
headers=$("$objdump" -p "$dll") || { echo "FAIL: cannot read $dll"; exit 1; }
description=$("$objdump" -f "$dll")
grep -q "file format $format\$" <<<"$description" || fail "not a $format image"
grep -q "architecture: $architecture," <<<"$description" || fail "machine is not $architecture"
grep -q "^Magic[[:space:]]*$magic" <<<"$headers" || fail "optional header is not $magic"
grep -q 'Characteristics.*' <<<"$headers" && grep -q 'DLL$' <<<"$headers" || fail "image is not flagged as a DLL"

name=$(sed -n 's/^Name[[:space:]]\+[0-9a-f]\+ \(.*\)$/\1/p' <<<"$headers")
[ "$name" = "Kovaltherm.dll" ] || fail "module name is '$name'"

# Export names by ordinal: the name table lists the export address table index, base 1.
base=$(sed -n 's/.*Ordinal Base \([0-9]\+\).*/\1/p' <<<"$headers")
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
    sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]\+\)\] \(.*\)$/\1 \2/p' |
    while read -r index export; do echo "$((index + base)) $export"; done)
expected_exports="1 LMGetNumSensors
2 LMGetSensorLocation
3 LMReadCriticalLimit
4 LMReadTempStatus
5 LMReadTemperature
6 LMReadWarningLimit
7 ShutdownLibrary"
[ "$exports" = "$expected_exports" ] || fail "exports differ:
$exports"
count=$(sed -n 's/^[[:space:]]*Export Address Table[[:space:]]\+\([0-9a-f]\+\)$/\1/p' <<<"$headers" | head -n 1)
[ "$((16#${count:-0}))" -eq 7 ] || fail "export address table has $((16#${count:-0})) entries"

# Imports: DLL name and function, one pair a line.
imports=$(awk '/DLL Name:/ {dll=$3; next}
               dll && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ {print dll, $3}
               /^$/ {dll=""}' <<<"$headers")
[ -n "$imports" ] || fail "no imports found"
allowed="KERNEL32.dll CloseHandle CreateFileA DeleteCriticalSection DeviceIoControl
KERNEL32.dll EnterCriticalSection GetLastError GetModuleHandleA GetProcAddress GetVersionExA LoadLibraryA
KERNEL32.dll InitializeCriticalSection LeaveCriticalSection QueryPerformanceCounter
KERNEL32.dll QueryPerformanceFrequency Sleep WaitForSingleObject
KERNEL32.dll GetEnvironmentVariableA OutputDebugStringA GetStdHandle WriteFile
KERNEL32.dll CreateMutexA OpenMutexA ReleaseMutex
ADVAPI32.dll RegCloseKey RegCreateKeyExA RegOpenKeyExA RegQueryValueExA RegSetValueExA
USER32.dll wsprintfA"
while read -r from function; do
    ok=0
    while read -r allowed_dll functions; do
        [ "$allowed_dll" = "$from" ] && grep -qw -- "$function" <<<"$functions" && ok=1
    done <<<"$allowed"
    [ $ok -eq 1 ] || fail "import not allowed: $from $function"
done <<<"$imports"

# The version resource's strings are UTF-16.
strings=$(strings -el "$dll")
for key in FileDescription FileVersion ProductName ProductVersion OriginalFilename; do
    grep -qx "$key" <<<"$strings" || fail "version resource lacks $key"
done
grep -A1 -x OriginalFilename <<<"$strings" | grep -qx 'Kovaltherm.dll' ||
    fail "OriginalFilename is not Kovaltherm.dll"
for key in FileVersion ProductVersion; do
    grep -A1 -x $key <<<"$strings" | grep -qxF "$version" || fail "$key is not $version"
done

echo "exports:"; echo "$expected_exports" | sed 's/^/  /'
echo "imports:"; echo "$imports" | sed 's/^/  /'
[ $failures -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $((failures > 0))
