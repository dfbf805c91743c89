#!/usr/bin/env bash
# Runs the test kit's walk-through (testkit/README.md) from the SDK zip under Wine, for x86 in
# the 32-bit prefix and x64 in the 64-bit one: install and start the kit's driver with
# qorix-kit.sh, load stuck-controller.json with the kit's ktsensors.exe, run the SDK's
# runtime.c example and see it carry on without readings, remove the kit and see the example
# run without the driver. Also checks that the script refuses a qorix service whose driver is
# not the kit's, and leaves it alone.
# Usage: testkit_test.sh SDK_ZIP
set -u
zip=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
wine=$src/scripts/wine
work=$(mktemp -d)
trap 'KOVALTHERM_WINE_ARCH=win32 "$wine" shutdown >/dev/null; KOVALTHERM_WINE_ARCH=win64 "$wine" shutdown >/dev/null; rm -rf "$work"' EXIT
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
kit=$work/sdk/testkit
for f in README.md qorix-kit.cmd qorix-kit.sh scenarios/stuck-controller.json \
    x86/qorix.sys x86/ktsensors.exe x86/Kovaltherm.dll x64/qorix.sys x64/ktsensors.exe x64/Kovaltherm.dll; do
    [ -f "$kit/$f" ]
    check $? "the zip has testkit/$f"
done
grep -q KOVALTHERM-TESTKIT-STAND-IN-QORIX "$kit/x86/qorix.sys" && grep -q KOVALTHERM-TESTKIT-STAND-IN-QORIX "$kit/x64/qorix.sys"
check $? "both drivers carry the kit's marker"

for arch in x86 x64; do
    case $arch in
    x86) prefix=i686-w64-mingw32 wine_arch=win32 build=$src/build/win32 ;;
    x64) prefix=x86_64-w64-mingw32 wine_arch=win64 build=$src/build/win64 ;;
    esac
    app=$work/app-$arch
    mkdir "$app"
    $prefix-gcc -I"$work/sdk/include" "$work/sdk/examples/runtime.c" -o "$app/runtime.exe" &&
        cp "$work/sdk/$arch/Kovaltherm.dll" "$app/"
    check $? "$arch: the consumer program builds from the SDK"

    export KOVALTHERM_WINE_ARCH=$wine_arch
    "$wine" setup "$build" >/dev/null || { echo "FAIL: Wine set-up"; exit 1; }
    # The environment the kit's script needs: the prefix, as scripts/wine made it.
    if [ $arch = x86 ]; then pfx=$src/build/wine-prefix; else pfx=$src/build/wine-prefix-win64; fi
    kitenv=(env WINEPREFIX="$pfx" WINEARCH=$wine_arch WINEDEBUG=-all
        WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
        WINE64=/usr/lib/wine/wine64 DISPLAY= "$kit/qorix-kit.sh")
    # Start from a machine without any qorix service (set-up installs the project's own).
    "${kitenv[@]}" remove "$arch" >/dev/null
    "$wine" run reg delete 'HKLM\SOFTWARE\Norvane\QuenlarFeatures\Thermal' /reg:32 /f >/dev/null 2>&1

    echo "--- $arch walk-through"
    "${kitenv[@]}" install "$arch"
    check $? "$arch: qorix-kit.sh install"
    started=1
    for attempt in 1 2 3; do
        if "${kitenv[@]}" start "$arch"; then started=0; break; fi
        echo "testkit: retry $attempt of 2: the driver did not start under Wine"
        "${kitenv[@]}" stop "$arch" >/dev/null
    done
    check $started "$arch: qorix-kit.sh start"
    out=$("$wine" run "$kit/$arch/ktsensors.exe" --scenario "$kit/scenarios/stuck-controller.json")
    status=$?
    echo "$out"
    [ $status -eq 1 ] && grep -q 'sensor 0 (location 2): *FAILED' <<<"$out" &&
        grep -q '^ktsensors: 2 calls failed: LMReadTemperature(0) LMReadTemperature(1)' <<<"$out"
    check $? "$arch: ktsensors.exe loads stuck-controller.json and every temperature read fails"
    out=$("$wine" run "$kit/$arch/ktsensors.exe" --trace --count 1 2>&1)
    echo "$out"
    grep -q '^kovaltherm: LMReadTemperature(#5) sensor 0: no temperature: 2 block reads failed, 40 attempts: 40 busy, 0 wrong echo, 0 unreadable; rebuild ran to the end$' <<<"$out"
    check $? "$arch: ktsensors.exe --trace shows why"
    out=$("$wine" run "$app/runtime.exe")
    status=$?
    echo "$out"
    [ $status -eq 0 ] && grep -q '^2 sensors$' <<<"$out" &&
        grep -q '^sensor 0: no reading, carrying on without it$' <<<"$out" &&
        grep -q '^sensor 1: no reading, carrying on without it$' <<<"$out"
    check $? "$arch: the consumer program handles the stuck controller"
    "${kitenv[@]}" remove "$arch"
    check $? "$arch: qorix-kit.sh remove"
    out=$("$wine" run "$app/runtime.exe")
    echo "$out"
    grep -q '^no thermal sensors' <<<"$out"
    check $? "$arch: after the removal the consumer program runs without the driver"

    # A qorix service whose driver lacks the marker stands for the maker's real driver.
    drivers=$pfx/drive_c/windows/system32/drivers
    printf 'not the kit\n' >"$drivers/qorix.sys"
    "$wine" run reg add 'HKLM\System\CurrentControlSet\Services\qorix' /v ImagePath /t REG_EXPAND_SZ \
        /d 'C:\windows\system32\drivers\qorix.sys' /f >/dev/null 2>&1
    "$wine" run reg add 'HKLM\System\CurrentControlSet\Services\qorix' /v Type /t REG_DWORD /d 1 /f >/dev/null 2>&1
    for command in install start stop remove; do
        "${kitenv[@]}" $command "$arch" >/dev/null
        [ $? -eq 3 ] && [ "$(cat "$drivers/qorix.sys")" = "not the kit" ]
        check $? "$arch: qorix-kit.sh $command refuses another qorix driver and leaves it alone"
    done
    "$wine" run reg delete 'HKLM\System\CurrentControlSet\Services\qorix' /f >/dev/null 2>&1
    rm -f "$drivers/qorix.sys"
    # The project's own driver back in place for the other Wine tests.
    "$wine" setup "$build" >/dev/null
    "$wine" shutdown >/dev/null
done

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
