#!/usr/bin/env bash
# In the 64-bit prefix, the 32-bit Kovaltherm.dll (under WoW64) and the 64-bit one keep one
# cache: a sensor's status hysteresis carries from a 32-bit process to a 64-bit one and back,
# and the 64-bit registry view holds no cache of its own. Each step is one ktsensors.exe
# process reading sensor 0 of a one-sensor notebook at a fixed temperature.
# Usage: shared_cache.sh SOURCE_DIR WIN32_BUILD_DIR WIN64_BUILD_DIR
set -u
src=$1
x86=$2
x64=$3
wine=$src/scripts/wine
cache='HKLM\SOFTWARE\Norvane\QuenlarFeatures\Thermal'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
[ -f "$x86/ktsensors.exe" ] || { echo "FAIL: $x86/ktsensors.exe is not built (make build-win32)"; exit 1; }

# Reads sensor 0 at `celsius` with the ktsensors.exe of `build`; leaves its output in
# $work/out and prints the status code.
status_at() {
    local build=$1 celsius=$2 scenario=$work/notebook-$2.json
    printf '{"sensors": [{"index": 0, "temperature": %d, "limits": {"warning_normal": 85,
        "warning_high": 90, "critical_normal": 93, "critical_high": 95}}]}\n' "$celsius" >"$scenario"
    "$wine" run "$build/ktsensors.exe" --json --scenario "Z:$(sed 's|/|\\|g' <<<"$scenario")" \
        >"$work/out" 2>&1
    echo "exit status $?" >>"$work/out"
    sed -n 's/.*"status_code":\([0-9-]*\).*/\1/p' "$work/out"
}

# Compares one step's status with the expected one.
step() {
    local what=$1 build=$2 celsius=$3 expected=$4 got
    got=$(status_at "$build" "$celsius")
    if [ "$got" = "$expected" ]; then
        echo "ok: $what: status $got"
        passed=$((passed + 1))
    else
        echo "FAIL: $what: status '$got', expected $expected; ktsensors.exe printed:"
        sed 's/^/    /' "$work/out"
        failed=$((failed + 1))
    fi
}

# Checks whether a registry key exists in one view (/reg:32 or /reg:64).
key_in_view() {
    local what=$1 view=$2 expected=$3 got
    if "$wine" run reg query "$cache" "$view" >/dev/null 2>&1; then got=present; else got=absent; fi
    if [ "$got" = "$expected" ]; then
        echo "ok: $what"
        passed=$((passed + 1))
    else
        echo "FAIL: $what: the cache is $got in view $view"
        failed=$((failed + 1))
    fi
}

"$wine" run reg delete "$cache" /reg:32 /f >/dev/null 2>&1
"$wine" run reg delete "$cache" /reg:64 /f >/dev/null 2>&1
# Warning limit 90 (left below 85): entered by the 32-bit process.
step "32-bit, 50 C" "$x86" 50 1
step "32-bit, 90 C: warning" "$x86" 90 2
# Held at 86 only if the 64-bit process sees the state the 32-bit one stored.
step "64-bit, 86 C: warning held from the 32-bit process" "$x64" 86 2
step "64-bit, 80 C: warning left, reported one call late" "$x64" 80 2
step "64-bit, 80 C: normal" "$x64" 80 1
# Normal at 86 only if the 32-bit process sees the state the 64-bit one stored.
step "32-bit, 86 C: normal carried from the 64-bit process" "$x86" 86 1
key_in_view "the cache is in the 32-bit view" /reg:32 present
key_in_view "the 64-bit view has no cache of its own" /reg:64 absent

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
