#!/usr/bin/env bash
# Runs the test kit's walk-through from the SDK zip under Wine line by line as
# testkit/README.md gives it (x64, then x86), from no running Wine session, with the SDK's
# runtime.c as the program (your-program.exe in the kit's folder): it carries on without
# readings on stuck-controller.json, sees the three sensors of firmware-faults.json loaded after
# it, and runs without the driver once the kit is removed. With the Kovaltherm service installed
# (x64), start names the session's log, which holds the service's events, and stop leaves its
# file saying kovaltherm_up 0; then the guide's lines for the events under Wine, as written
# (a new session with the events' channels, and grep in ~/.wine/qorix-kit.log). Also
# checks that the script refuses a qorix service whose driver is not the kit's, and leaves it
# alone.
# Usage: testkit_test.sh SDK_ZIP
set -u
zip=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
wine=$src/scripts/wine
work=$(mktemp -d)
service=0 # 1 while the Kovaltherm service is installed in the 64-bit prefix
service_dir= # the service's folder on that prefix's drive C:
trap '[ $service = 0 ] || KOVALTHERM_WINE_ARCH=win64 "$wine" run "$service_dir/program/ktsensors.exe" --uninstall-service
    [ -z "$service_dir" ] || rm -rf "$service_dir"
    KOVALTHERM_WINE_ARCH=win32 "$wine" shutdown >/dev/null; KOVALTHERM_WINE_ARCH=win64 "$wine" shutdown >/dev/null
    rm -rf "$work"' EXIT
passed=0 failed=0
# The commands the documents list under KEY (tests/docs/doc_commands.py), as written.
doc() { "$src/tests/docs/doc_commands.py" print "$src" "$1"; }
check() {
    if [ "$1" = 0 ]; then
        echo "ok: $2"
        passed=$((passed + 1))
    else
        echo "FAIL: $2"
        failed=$((failed + 1))
    fi
}

mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip") || { echo "FAIL: cannot unpack $zip"; exit 1; }
sdk=$(echo "$work"/unpacked/kovaltherm-*)
[ -d "$sdk" ] || { echo "FAIL: $zip holds no folder kovaltherm-<version>"; exit 1; }
kit=$sdk/testkit
for f in README.md qorix-kit.cmd qorix-kit.sh scenarios/stuck-controller.json \
    x86/qorix.sys x86/ktsensors-testkit.exe x86/Kovaltherm.dll x64/qorix.sys x64/ktsensors-testkit.exe x64/Kovaltherm.dll; do
    [ -f "$kit/$f" ]
    check $? "the zip has testkit/$f"
done
# The kit's program names itself as the kit's, and no file of the kit bears the product's name.
for arch in x86 x64; do
    info=$(strings -el "$kit/$arch/ktsensors-testkit.exe")
    grep -A1 -x ProductName <<<"$info" | grep -qx 'Kovaltherm test kit' &&
        grep -A1 -x OriginalFilename <<<"$info" | grep -qx 'ktsensors-testkit.exe' &&
        grep -A1 -x FileDescription <<<"$info" | grep -q '^Kovaltherm test kit: '
    check $? "$arch: ktsensors-testkit.exe's version information says Kovaltherm test kit"
    [ ! -e "$kit/$arch/ktsensors.exe" ]
    check $? "$arch: no ktsensors.exe in the test kit"
done
grep -q KOVALTHERM-TESTKIT-STAND-IN-QORIX "$kit/x86/qorix.sys" && grep -q KOVALTHERM-TESTKIT-STAND-IN-QORIX "$kit/x64/qorix.sys"
check $? "both drivers carry the kit's marker"

for arch in x64 x86; do
    case $arch in
    x86) prefix=i686-w64-mingw32 wine_arch=win32 build=$src/build/win32 ;;
    x64) prefix=x86_64-w64-mingw32 wine_arch=win64 build=$src/build/win64 ;;
    esac
    app=$work/app-$arch
    mkdir "$app"
    $prefix-gcc -I"$sdk/include" "$sdk/examples/runtime.c" -o "$app/runtime.exe" &&
        cp "$sdk/$arch/Kovaltherm.dll" "$app/" &&
        cp "$app/runtime.exe" "$kit/your-program.exe" && cp "$sdk/$arch/Kovaltherm.dll" "$kit/"
    check $? "$arch: the consumer program builds from the SDK"

    export KOVALTHERM_WINE_ARCH=$wine_arch
    "$wine" setup "$build" >/dev/null || { echo "FAIL: Wine set-up"; exit 1; }
    # The environment the kit's commands run in: the prefix, as scripts/wine made it.
    pfx=$("$wine" prefix)
    kitenv=(env WINEPREFIX="$pfx" WINEARCH=$wine_arch WINEDEBUG=-all
        WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d;winedbg.exe=d" DISPLAY=)
    # No qorix service (set-up installs the project's own), no Wine session running.
    (cd "$kit" && "${kitenv[@]}" ./qorix-kit.sh remove "$arch" >/dev/null)
    "$wine" run reg delete 'HKLM\SOFTWARE\Norvane\QuenlarFeatures\Thermal' /reg:32 /f >/dev/null 2>&1
    "$wine" shutdown >/dev/null

    # The walk-through exactly as testkit/README.md gives it under Wine, with this program as
    # your-program.exe; in the 32-bit prefix with the replacements the README names.
    cmp -s "$src/testkit/README.md" "$kit/README.md" || { echo "FAIL: the kit's README is not testkit/README.md"; exit 1; }
    mapfile -t walk < <(doc testkit-walk)
    [ ${#walk[@]} -eq 5 ] || { echo "FAIL: the README's Wine walk-through has ${#walk[@]} lines, not 5"; exit 1; }
    for i in "${!walk[@]}"; do
        [ $arch = x64 ] || walk[i]=$(sed 's|/usr/lib/wine/wine64|wine|g; s|x64/|x86/|g' <<<"${walk[i]}")
    done
    # Runs a line of the walk-through (or one like it) in the kit's folder; prints its output.
    step() {
        echo "\$ $1" >&2
        (set -o pipefail; cd "$kit" && "${kitenv[@]}" sh -c "$1" 2>&1 | tr -d '\r')
    }

    echo "--- $arch walk-through"
    step "${walk[0]}"
    check $? "$arch: ${walk[0]}"
    started=1
    for attempt in 1 2 3; do
        if step "${walk[1]}"; then started=0; break; fi
        echo "testkit: retry $attempt of 2: the driver did not start under Wine"
        step "./qorix-kit.sh stop $arch" >/dev/null
    done
    check $started "$arch: ${walk[1]}"
    sleep 5 # longer than an idle Wine session lasts: the driver must still be there
    out=$(step "${walk[2]}"; echo "exit status $?")
    echo "$out"
    grep -q '^exit status 1$' <<<"$out" && grep -q 'sensor 0 (location 2): *FAILED' <<<"$out" &&
        grep -q '^ktsensors: 2 calls failed: LMReadTemperature(0) LMReadTemperature(1)' <<<"$out"
    check $? "$arch: ${walk[2]}: every temperature read fails"
    out=$(step "${walk[2]/--scenario scenarios\/stuck-controller.json/--trace --count 1}")
    echo "$out"
    grep -q '^kovaltherm: LMReadTemperature(#5) sensor 0: no temperature: 2 block reads failed, 40 attempts: 40 busy, 0 wrong echo, 0 unreadable; rebuild ran to the end$' <<<"$out"
    check $? "$arch: ktsensors-testkit.exe --trace shows why"
    out=$(step "${walk[3]}"; echo "exit status $?")
    echo "$out"
    grep -q '^exit status 0$' <<<"$out" && grep -q '^2 sensors$' <<<"$out" &&
        grep -q '^sensor 0: no reading, carrying on without it$' <<<"$out" &&
        grep -q '^sensor 1: no reading, carrying on without it$' <<<"$out"
    check $? "$arch: ${walk[3]}: the consumer program handles the stuck controller"
    # Another notebook: the program sees its three sensors, not the two cached before.
    out=$(step "${walk[2]/stuck-controller.json/firmware-faults.json}"; step "${walk[3]}")
    echo "$out"
    grep -q '^3 sensors$' <<<"$out"
    check $? "$arch: after firmware-faults.json is loaded the consumer program sees its 3 sensors"
    step "${walk[4]}"
    check $? "$arch: ${walk[4]}"
    ! pgrep wineserver | xargs -r -I{} sh -c 'tr "\0" "\n" </proc/{}/environ' 2>/dev/null | grep -qx "WINEPREFIX=$pfx"
    check $? "$arch: the removal ends the Wine session the kit kept running"
    out=$(step "${walk[3]}")
    echo "$out"
    grep -q '^no thermal sensors' <<<"$out"
    check $? "$arch: after the removal the consumer program runs without the driver"

    if [ $arch = x64 ]; then
        # The Kovaltherm service in the kit's session: start names the log of the session's
        # output, which holds the service's events (1 started, 2 stopped); stop stops the
        # service before the driver, so that its file says kovaltherm_up 0 (at the default
        # interval of 30 s the service would not read again before the session ends).
        # As the operators' guide says: the product's ktsensors.exe and Kovaltherm.dll copied
        # to a folder only administrators can change, and a textfile folder like it, both on
        # the prefix's drive C: (the service refuses folders standard users could change).
        service_dir=$("$wine" folder)
        mkdir -m 755 "$service_dir/program" "$service_dir/textfile"
        cp "$sdk/x64/ktsensors.exe" "$sdk/x64/Kovaltherm.dll" "$service_dir/program/"
        prom=$service_dir/textfile/kovaltherm.prom
        step "./qorix-kit.sh install $arch" >/dev/null
        out=$(cd "$kit" && "${kitenv[@]}" WINEDEBUG= ./qorix-kit.sh start $arch 2>&1)
        echo "$out"
        log=$(sed -n 's/^qorix-kit: the Wine session.s output, .* goes to //p' <<<"$out")
        [ -n "$log" ] && [ -f "$log" ]
        check $? "$arch: qorix-kit.sh start names the log of the Wine session"
        service=1
        # The service is the product's ktsensors.exe, from the SDK beside the kit.
        step "/usr/lib/wine/wine64 '$service_dir/program/ktsensors.exe' --install-service --output '$("$wine" winpath "$prom")'"
        for _ in $(seq 120); do grep -qx 'kovaltherm_up 1' "$prom" 2>/dev/null && break; sleep 0.5; done
        grep -qx 'kovaltherm_up 1' "$prom"
        check $? "$arch: the installed service writes its file"
        # The operators' guide's lines for the events under Wine, as written: its stop, then a
        # new session with the events' channels, and grep in ~/.wine/qorix-kit.log (the prefix).
        mapfile -t guide < <(doc testkit-events)
        step "${guide[0]}"
        grep -qx 'kovaltherm_up 0' "$prom"
        check $? "$arch: qorix-kit.sh stop leaves the service's file saying kovaltherm_up 0"
        events=$(awk '/:fixme:advapi:ReportEventW \(/ { split($0, f, ","); print f[4] }' "$log" |
            while read -r id; do echo $((id & 0xFFFF)); done | tr '\n' ' ')
        echo "events in $log: $events"
        started_then_stopped=' 1 (.* )?2 '
        [[ " $events" =~ $started_then_stopped ]]
        check $? "$arch: the log holds the service's events, started and stopped"
        step "${guide[1]}"
        check $? "$arch: ${guide[1]}"
        for _ in $(seq 120); do grep -q 'ReportEventW (.*,0x40000001,' "$log" && break; sleep 0.5; done
        mkdir -p "$work/home" && ln -sfn "$pfx" "$work/home/.wine"
        out=$(HOME=$work/home step "${guide[2]}")
        echo "$out" | head -n 4
        grep -q '^[0-9a-f]*:fixme:advapi:ReportEventW (.*,0x40000001,' <<<"$out"
        check $? "$arch: ${guide[2]} shows the service started again in the new session (event 1)"
        step "/usr/lib/wine/wine64 '$service_dir/program/ktsensors.exe' --uninstall-service" >/dev/null
        service=0
        step "./qorix-kit.sh remove $arch" >/dev/null
    fi

    # A qorix service whose driver lacks the marker stands for the maker's real driver.
    drivers=$pfx/drive_c/windows/system32/drivers
    printf 'not the kit\n' >"$drivers/qorix.sys"
    "$wine" run reg add 'HKLM\System\CurrentControlSet\Services\qorix' /v ImagePath /t REG_EXPAND_SZ \
        /d 'C:\windows\system32\drivers\qorix.sys' /f >/dev/null 2>&1
    "$wine" run reg add 'HKLM\System\CurrentControlSet\Services\qorix' /v Type /t REG_DWORD /d 1 /f >/dev/null 2>&1
    for command in install start stop remove; do
        (cd "$kit" && "${kitenv[@]}" ./qorix-kit.sh $command "$arch" >/dev/null)
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
