#!/usr/bin/env bash
# Unpacks the SDK zip into a temporary folder, builds its examples with CMake and mingw through
# find_package(Kovaltherm) for x86 and x64, under a toolchain file that restricts package lookup
# to its root path, and linked.c through pkg-config; runs them in the 64-bit Wine prefix (32-bit
# programs under WoW64): without the driver the run-time loading example carries on and the
# linked one is refused by the loader; with it they read the default notebook's three sensors.
# Then installs python/ with pip (and from a wheel built offline) and runs the Python and .NET
# wrappers' tests (wrappers_test.py) on the unpacked python/ and dotnet/ against
# libkovaltherm.so of the host build.
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
    # An ordinary mingw toolchain file, whose root path the command line extends.
    printf '%s\n' 'set(CMAKE_SYSTEM_NAME Windows)' "set(CMAKE_C_COMPILER $prefix-gcc)" \
        "set(CMAKE_CXX_COMPILER $prefix-g++)" "set(CMAKE_RC_COMPILER $prefix-windres)" \
        "list(APPEND CMAKE_FIND_ROOT_PATH /usr/$prefix)" 'set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)' \
        'set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)' 'set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)' \
        'set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)' >"$work/$arch.cmake"
    configure=(cmake -S "$work/sdk/examples" -B "$work/$arch" --toolchain "$work/$arch.cmake"
               -DCMAKE_FIND_ROOT_PATH="$work/sdk")
    echo "${configure[*]}"
    "${configure[@]}" >"$work/$arch.log" 2>&1 && cmake --build "$work/$arch" >>"$work/$arch.log" 2>&1
    status=$?
    [ $status -eq 0 ] || cat "$work/$arch.log"
    check $status "$arch: the examples build through find_package(Kovaltherm) in a cross build"
    for program in linked sensors; do
        $prefix-objdump -p "$work/$arch/$program.exe" 2>/dev/null | grep -q 'DLL Name: Kovaltherm.dll'
        check $? "$arch: $program.exe imports Kovaltherm.dll"
    done
    flags=$(PKG_CONFIG_LIBDIR="$work/sdk/$arch/pkgconfig" pkg-config --cflags --libs kovaltherm) &&
        $prefix-gcc "$work/sdk/examples/linked.c" $flags -o "$work/$arch/pc-linked.exe" &&
        $prefix-objdump -p "$work/$arch/pc-linked.exe" | grep -q 'DLL Name: Kovaltherm.dll'
    check $? "$arch: linked.c builds through pkg-config ($flags)"
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
    for program in linked sensors runtime; do
        out=$("$wine" run "$work/$arch/$program.exe")
        status=$?
        echo "$out"
        [ $status -eq 0 ] && grep -q '^3 sensors$' <<<"$out" && grep -q '^sensor 2: [0-9]* C' <<<"$out"
        check $? "$arch: $program.exe reads the three sensors"
    done
done

# The wrappers: python/ installed into a virtual environment, from the folder and from a wheel
# built offline, and dotnet/ compiled by the tests themselves.
python=${KOVALTHERM_PYTHON:-/usr/bin/python3}
venv=$work/venv
"$python" -m venv --system-site-packages "$venv" &&
    "$venv/bin/pip" install -q --no-index --no-build-isolation "$work/sdk/python" &&
    "$venv/bin/pip" wheel -q --no-index --no-build-isolation --no-deps -w "$work/wheel" "$work/sdk/python" &&
    "$venv/bin/pip" install -q --no-index --force-reinstall --no-deps "$work"/wheel/kovaltherm-*.whl
check $? "python/ installs with pip, from the folder and from a wheel built offline"
"$venv/bin/python" -m zipfile -l "$work"/wheel/kovaltherm-*.whl | grep -cE 'kovaltherm/x(86|64)/Kovaltherm\.dll' | grep -qx 2
check $? "the wheel carries both DLLs"
KOVALTHERM_SDK="$work/sdk" KOVALTHERM_HOST_BUILD="$src/build/host" PYTHONDONTWRITEBYTECODE=1 \
    "$venv/bin/python" "$src/tests/sdk/wrappers_test.py"
check $? "the Python and .NET wrappers of the unpacked SDK pass their tests"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
