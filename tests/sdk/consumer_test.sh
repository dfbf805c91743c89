#!/usr/bin/env bash
# Unpacks the SDK zip into a temporary folder, builds its examples with CMake and mingw through
# find_package(Kovaltherm) for x86 and x64, and runs them in the 64-bit Wine prefix (32-bit
# programs under WoW64): without the driver the run-time loading example carries on and the
# linked one is refused by the loader; with it both read the default notebook's three sensors.
# Usage: consumer_test.sh SDK_ZIP
set -u
zip=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
export KOVALTHERM_WINE_ARCH=win64
wine=$src/scripts/wine
work=$(mktemp -d)
trap '"$wine" shutdown >/dev/null; rm -rf "$work"' EXIT
passed=0 failed=0
check() {
    if [ "$1" = 0 ]; then
        echo "ok: $2"
        passed=$((passed + 1))
    else
        echo "FAIL: $2"
        failed=$((failed + 1))
    fi
}

mkdir "$work/sdk"
(cd "$work/sdk" && cmake -E tar xf "$zip") || { echo "FAIL: cannot unpack $zip"; exit 1; }
for arch in x86 x64; do
    case $arch in x86) prefix=i686-w64-mingw32 ;; x64) prefix=x86_64-w64-mingw32 ;; esac
    printf '%s\n' 'set(CMAKE_SYSTEM_NAME Windows)' "set(CMAKE_C_COMPILER $prefix-gcc)" \
        "set(CMAKE_RC_COMPILER $prefix-windres)" >"$work/$arch.cmake"
    cmake -S "$work/sdk/examples" -B "$work/$arch" -DCMAKE_TOOLCHAIN_FILE="$work/$arch.cmake" \
        -DCMAKE_PREFIX_PATH="$work/sdk" >"$work/$arch.log" 2>&1 &&
        cmake --build "$work/$arch" >>"$work/$arch.log" 2>&1
    status=$?
    [ $status -eq 0 ] || cat "$work/$arch.log"
    check $status "$arch: the examples build through find_package(Kovaltherm)"
    $prefix-objdump -p "$work/$arch/linked.exe" 2>/dev/null | grep -q 'DLL Name: Kovaltherm.dll'
    check $? "$arch: linked.exe imports Kovaltherm.dll"
    machine=$($prefix-objdump -f "$work/$arch/Kovaltherm.dll" 2>/dev/null | sed -n 's/^architecture: \([^,]*\),.*/\1/p')
    [ "$machine" = "$([ $arch = x86 ] && echo i386 || echo i386:x86-64)" ]
    check $? "$arch: the package gave the $arch DLL ($machine)"
done

"$wine" setup "$src/build/win64" >/dev/null || { echo "FAIL: Wine set-up"; exit 1; }
"$wine" run reg delete 'HKLM\SOFTWARE\Norvane\QuenlarFeatures\Thermal' /reg:32 /f >/dev/null 2>&1
for arch in x86 x64; do
    out=$("$wine" run "$work/$arch/runtime.exe")
    status=$?
    echo "$out"
    [ $status -eq 0 ] && grep -q '^no thermal sensors' <<<"$out"
    check $? "$arch: without the driver, runtime.exe carries on"
    "$wine" run "$work/$arch/linked.exe" >/dev/null 2>&1
    [ $? -ne 0 ]
    check $? "$arch: without the driver, the loader refuses linked.exe"
done
"$wine" driver start >/dev/null || { echo "FAIL: the driver did not start"; exit 1; }
for arch in x86 x64; do
    for program in linked runtime; do
        out=$("$wine" run "$work/$arch/$program.exe")
        status=$?
        echo "$out"
        [ $status -eq 0 ] && grep -q '^3 sensors$' <<<"$out" && grep -q '^sensor 2: [0-9]* C' <<<"$out"
        check $? "$arch: $program.exe reads the three sensors"
    done
done

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
