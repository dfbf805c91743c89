#!/usr/bin/env bash
# The MSI of this build's architecture under Wine's msiexec, in the prefix and with the driver
# scripts/wine runs. Refused settings; an install with INTERVAL (on x64 with TEXTFILE, LISTEN,
# CONFIG_FILE and every feature, on x86 with the service's feature alone): the files, the monitor's
# Start-menu entry, the service's command line, start type and account, the event source, the
# sensor configuration's folder (made open beforehand, given Program Files' access; its
# sensors.conf read on x86), the textfile within one interval plus one reading, on x64 a scrape
# and the URL's reservation (made at install, removed at uninstall). With NEXT_BUILD (the same sources built as the next
# version, x64) and X86_BUILD: the x86 package refused on 64-bit Windows; a TEXTFILE whose folder
# does not exist yet, with internal properties given, then a repair that moves it and a removal
# through a folder swapped for a link; a refused downgrade; a TEXTFILE given by its short name;
# a repair given INTERVAL again; the upgrade in place while the service writes (one product, the
# settings kept, the textfile polled every 100 ms and never missing). Then, with a monitor running
# that starts with Windows, the uninstall given other TEXTFILE and LISTEN, and a registry export
# and file list of the prefix against those taken before: nothing left but the sensor cache.
# Usage: msi_test.sh SOURCE_DIR BUILD_DIR VERSION [NEXT_BUILD_DIR NEXT_VERSION X86_BUILD_DIR]
set -u
src=$1 build=$2 version=$3 next=${4:-} next_version=${5:-} x86_build=${6:-}
wine=$src/scripts/wine
export WINE_MAX_PROGRAM_STATUS=255 # msiexec's codes: 1603 (failed) ends as status 67
case ${KOVALTHERM_WINE_ARCH:-win32} in
win64) arch=x64 prefix=${KOVALTHERM_WINEPREFIX:-$src/build/wine-prefix-win64} cache='HKEY_LOCAL_MACHINE\Software\Wow6432Node\Norvane\QuenlarFeatures\Thermal' ;;
*) arch=x86 prefix=${KOVALTHERM_WINEPREFIX:-$src/build/wine-prefix} cache='HKEY_LOCAL_MACHINE\Software\Norvane\QuenlarFeatures\Thermal' ;;
esac
work=$(mktemp -d)
chmod 755 "$work"
passed=0 failed=0 poller=
ok() { echo "ok: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
expect() { if [ "$2" = "$3" ]; then ok "$1"; else fail "$1: got '$2', expected '$3'"; fi; }
win() { echo "Z:$(sed 's|/|\\|g' <<<"$1")"; }
unix() { echo "$prefix/drive_c/$(sed 's|^C:\\||; s|\\|/|g' <<<"$1")"; }
w() { "$wine" run "$@" 2>/dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# Runs msiexec with the arguments, silent and logged to $work/NAME.log; $1 is NAME.
msi() { local name=$1; shift; w msiexec "$@" /qn /l*v "$(win "$work/$name.log")" >/dev/null; }
said() { grep -a 'Kovaltherm: ' "$work/$1.log" | sed 's/^.*Kovaltherm: //'; }
reg_value() { w reg query "$1" /v "$2" | awk -v n="$2" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'; }
service_key='HKLM\System\CurrentControlSet\Services\Kovaltherm'
source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\Kovaltherm'
installed='C:\Program Files\Kovaltherm'
products() { w reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
    awk '$1 == "DisplayName" && $3 == "Kovaltherm" { n++ } END { print n + 0 }'; }
up_since() { [ "$(stat -c %Y "$prom" 2>/dev/null || echo 0)" -ge "$1" ] && grep -qx 'kovaltherm_up 1' "$prom" 2>/dev/null; }
wait_for() { local deadline=$((SECONDS + $1)); shift; until "$@"; do [ $SECONDS -ge $deadline ] && return 1; sleep 0.1; done; }

msi_v1=$work/kovaltherm-$version-$arch.msi
"$src/packaging/msi/build-msi" $arch "$version" "$build" "$build/KovalthermSetup.dll" "$msi_v1" >/dev/null
expect "the MSI holds Kovaltherm.dll, ktsensors.exe and the monitor, nothing of the test kit" \
    "$(msiinfo export "$msi_v1" File | tail -n +4 | cut -f3,5 | sort | tr '\t\n' ' ')" \
    "Kovaltherm.dll $version.0 kovaltherm-monitor.exe $version.0 ktsensors.exe $version.0 "
product_code() { msiinfo export "$1" Property | tr -d '\r' | awk '$1 == "ProductCode" { print $2 }'; }
codes=("$(product_code "$msi_v1")")
if [ -n "$next" ]; then
    msi_v2=$work/kovaltherm-$next_version-$arch.msi
    "$src/packaging/msi/build-msi" $arch "$next_version" "$next" "$next/KovalthermSetup.dll" "$msi_v2" >/dev/null
    codes+=("$(product_code "$msi_v2")")
    again=$("$src/packaging/msi/build-msi" $arch "$version" "$build" "$build/KovalthermSetup.dll" "$work/again.msi")
    [[ $again == *"(ProductCode ${codes[0]})" ]] && [ "${codes[0]}" != "${codes[1]}" ]
    [ $? = 0 ] && ok "ProductCode ${codes[0]} again for $version, ${codes[1]} for $next_version" ||
        fail "ProductCodes: $again, ${codes[*]}"
fi

# A machine without Kovaltherm (an earlier run's product, service or monitor's Run value removed),
# an empty cache; the textfile's folder exists, as windows_exporter's installer makes it.
cleanup() {
    [ -n "$poller" ] && kill "$poller" 2>/dev/null
    for code in "${codes[@]}"; do w msiexec /x "$code" /qn >/dev/null; done
    w "$build/ktsensors.exe" --uninstall-service >/dev/null
    w reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v 'Kovaltherm Monitor' /f >/dev/null
}
folders=("$(unix 'C:\kovaltherm-msi')" "$(unix 'C:\Program Files\windows_exporter')" "$(unix 'C:\kovaltherm-open')"
    "$(unix 'C:\ProgramData\Kovaltherm')")
trap 'cleanup; rm -rf "$work" "${folders[@]}"' EXIT
cleanup
# The earlier tests of this prefix (the service's, the monitor's) may leave these behind.
rm -rf "${folders[@]}"
listen= config=
if [ -n "$next" ]; then
    listen=127.0.0.1:$((20000 + RANDOM % 40000))
    config='C:\kovaltherm-msi\sensors.conf'
    textfile='C:\kovaltherm-msi\kovaltherm.prom' settings=(INTERVAL=1 'TEXTFILE=C:\kovaltherm-msi\kovaltherm.prom' "LISTEN=$listen"
        "CONFIG_FILE=$config")
    shipped="Kovaltherm.dll kovaltherm-monitor.exe ktsensors.exe " shortcuts="Kovaltherm monitor.lnk "
else
    textfile='C:\Program Files\windows_exporter\textfile_inputs\kovaltherm.prom' settings=(INTERVAL=1 ADDLOCAL=Service)
    shipped="Kovaltherm.dll ktsensors.exe " shortcuts=""
fi
prom=$(unix "$textfile")
mkdir -p -m 755 "$(dirname "$prom")"
[ -n "$config" ] && cp "$src/examples/sensors.conf" "$(unix "$config")"
[ -n "$next" ] && mkdir -m 777 "$(unix 'C:\kovaltherm-open')"
w reg delete 'HKLM\SOFTWARE\Norvane\QuenlarFeatures\Thermal' /reg:32 /f >/dev/null

# The registry as "[key]" and "[key] value" lines; the files under C:.
snapshot() {
    w regedit /E "$(win "$work/$1.reg")" >/dev/null
    iconv -f UTF-16 -t UTF-8 "$work/$1.reg" | tr -d '\r' | awk '
        /^\[/ { key = $0; print key; next }
        /\\$/ { value = value substr($0, 1, length($0) - 1); next }
        /^ / && value != "" { sub(/^ +/, ""); $0 = value $0 }
        /./ { print key " " $0 } { value = "" }' | sort >"$work/$1.keys"
    (cd "$prefix/drive_c" && find . | sort) >"$work/$1.files"
}
start=$SECONDS
snapshot before

# ---- Settings the service could not run with are refused, with the reason in the log: the
# service's own rules (devices, a folder Everyone may change, a short name for a folder to come) ----
if [ -n "$next" ]; then
    for setting in INTERVAL=0 INTERVAL=90000 INTERVAL=1.5 'TEXTFILE=C:\kovaltherm-msi\kovaltherm.txt' \
        'TEXTFILE=C:\%TEMP%\kovaltherm.prom' 'TEXTFILE=kovaltherm.prom' 'TEXTFILE=C:\kovaltherm-msi\COM1.prom' \
        'TEXTFILE=C:\kovaltherm-msi\lpt1.prom' 'TEXTFILE=C:\kovaltherm-open\kovaltherm.prom' \
        'TEXTFILE=C:\KOVALT~1\kovaltherm.prom' LISTEN=localhost:9757 LISTEN=0.0.0.0:0 'LISTEN=[::1]' \
        'CONFIG_FILE=C:\%TEMP%\sensors.conf' 'CONFIG_FILE=C:\kovaltherm-open\sensors.conf'; do
        msi refused /i "$(win "$msi_v1")" "$setting"
        status=$?
        [ $status = $((1603 % 256)) ] && [[ $(said refused) == "${setting%%=*} must be"* ]] &&
            [ "$(products)" = 0 ] && ok "$setting refused: $(said refused | cut -c1-70)..." ||
            fail "$setting: status $status, $(said refused)"
    done
fi

# ---- The x86 package on 64-bit Windows says why it stops, and names the x64 package ----
if [ -n "$x86_build" ]; then
    "$src/packaging/msi/build-msi" x86 "$version" "$x86_build" "$x86_build/KovalthermSetup.dll" "$work/x86.msi" >/dev/null
    msi x86 /i "$(win "$work/x86.msi")"
    status=$?
    expect "the x86 package on 64-bit Windows: status $status, the log says" "$(said x86)" \
        "This is the package for 32-bit Windows. On 64-bit Windows install kovaltherm-$version-x64.msi."
fi

# ---- The newer version with a TEXTFILE whose folder does not exist yet, and the installer's
# internal properties given on the command line: the log says what the service will do, the
# command line holds the checked settings alone, nothing is deleted. A repair that moves the
# textfile deletes nothing that never existed; the removal, through a folder swapped for a link,
# deletes nothing there. Then the older version over the newer is refused (over a fresh install
# of the newer: Wine's removal of an older version deletes the newer one's UpgradeCode
# registration too) ----
if [ -n "$next" ]; then
    ours="# HELP kovaltherm_up 1 when the library loaded and gave the sensor count, else 0."
    echo "$ours" >"$(unix 'C:\kovaltherm-msi\victim.prom')"
    msi newer /i "$(win "$msi_v2")" INTERVAL=1 'TEXTFILE=C:\kovaltherm-later\kovaltherm.prom' \
        'SAVED_TEXTFILE=C:\kovaltherm-msi\victim.prom' 'SavedTextfile=C:\kovaltherm-msi\victim.prom' \
        'LISTEN_ARGUMENT= --scenario C:\kovaltherm-msi\evil.json' 'ServiceArguments=--scenario C:\kovaltherm-msi\evil.json'
    expect "install with a folder to come exits 0" "$?" 0
    expect "the log says" "$(said newer | grep 'does not exist')" "the folder C:\kovaltherm-later does not exist yet: the service starts anyway, reports event 300 at each reading until the folder is there (windows_exporter's installer makes its own), and writes C:\kovaltherm-later\kovaltherm.prom from the first reading after"
    expect "the command line, the internal properties given" "$(reg_value "$service_key" ImagePath)" \
        "\"$installed\\ktsensors.exe\" --service --watch 1 --output \"C:\\kovaltherm-later\\kovaltherm.prom\""
    [ -e "$(unix 'C:\kovaltherm-msi\victim.prom')" ] && ok "SAVED_TEXTFILE given deletes nothing" ||
        fail "SAVED_TEXTFILE given: $(said newer | grep delet)"
    msi moved /i "$(win "$msi_v2")" REINSTALL=ALL REINSTALLMODE=vomus 'TEXTFILE=C:\kovaltherm-msi\kovaltherm.prom'
    expect "the repair that moves the textfile says of the old one" "$(said moved | grep -i delet)" \
        "no textfile at C:\kovaltherm-later\kovaltherm.prom to delete"
    # Whoever swaps a folder on the way for a link never has a file deleted through it.
    wait_for 15 up_since 0 || fail "no textfile at $prom after the repair"
    mkdir -m 755 "$work/elsewhere"
    echo "$ours" >"$work/elsewhere/kovaltherm.prom"
    mv "$(unix 'C:\kovaltherm-msi')" "$(unix 'C:\kovaltherm-msi-real')"
    ln -s "$work/elsewhere" "$(unix 'C:\kovaltherm-msi')"
    msi removed /x "$(win "$msi_v2")"
    [ -e "$work/elsewhere/kovaltherm.prom" ] && ok "a removal through a folder swapped for a link: $(said removed | grep kovaltherm.prom)" ||
        fail "the removal deleted $work/elsewhere/kovaltherm.prom: $(said removed | grep kovaltherm.prom)"
    rm "$(unix 'C:\kovaltherm-msi')"
    mv "$(unix 'C:\kovaltherm-msi-real')" "$(unix 'C:\kovaltherm-msi')"
    rm -f "$prom" "$(unix 'C:\kovaltherm-msi\victim.prom')"
    expect "products installed" "$(products)" 0
    msi newer /i "$(win "$msi_v2")" "${settings[@]}" && msi downgrade /i "$(win "$msi_v1")"
    status=$?
    [ $status = $((1603 % 256)) ] && [ "$(said downgrade)" = "A newer version of Kovaltherm is already installed. To go back to this version, uninstall the newer one first." ] &&
        ok "downgrade refused: $(said downgrade)" || fail "downgrade: status $status, $(said downgrade)"
    msi removed /x "$(win "$msi_v2")"
    expect "products installed" "$(products)" 0
fi

# ---- Install with settings (on x64 TEXTFILE by its folder's short name) ----
# The sensor configuration's folder made beforehand, as any user may in ProgramData, and open to
# everyone: the install gives it Program Files' access, and on x86 (without CONFIG_FILE) the
# service reads the machine's sensors.conf there.
config_folder=$(unix 'C:\ProgramData\Kovaltherm')
mkdir -m 777 "$config_folder"
[ -n "$config" ] || cp "$src/examples/sensors.conf" "$config_folder/"
given=("${settings[@]}")
if [ -n "$next" ]; then
    short=$(w cmd /c 'dir /x C:\' | awk '$NF == "kovaltherm-msi" { print $(NF - 1) }')
    given=(INTERVAL=1 "TEXTFILE=C:\\$short\\kovaltherm.prom" "LISTEN=$listen" "CONFIG_FILE=$config")
fi
msi install /i "$(win "$msi_v1")" "${given[@]}"
expect "install exits 0" "$?" 0
installed_at=$(date +%s)
t0=$(date +%s%N)
wait_for 15 up_since 0 && ok "the textfile says kovaltherm_up 1 $((($(date +%s%N) - t0) / 1000000)) ms after the install (bound: 1 s interval + 14 s reading)" ||
    fail "no textfile with kovaltherm_up 1 at $prom within 15 s"
expect "files (${settings[*]})" "$(ls "$(unix "$installed")" | tr '\n' ' ')" "$shipped"
# The Start menu the installer chose: all users' on Windows; Wine's msiexec takes the user's.
start_menu=$(unix "$(grep -a 'Property(S): ProgramMenuFolder = ' "$work/install.log" | tail -n 1 | sed 's/^.* = //; s/\\$//')")
expect "Start-menu entries in $start_menu" "$(ls "$start_menu" 2>/dev/null | grep Kovaltherm | tr '\n' ' ')" "$shortcuts"
for file in Kovaltherm.dll ktsensors.exe; do
    cmp -s "$build/$file" "$(unix "$installed")/$file" || fail "$file is not the build's"
    expect "$file's version resource" "$(strings -el "$(unix "$installed")/$file" | grep -A1 -x FileVersion | tail -n 1)" "$version"
done
command="\"$installed\\ktsensors.exe\" --service --watch 1 --output \"$textfile\"${listen:+ --listen $listen}${config:+ --config \"$config\"}"
expect "the service's command line" "$(reg_value "$service_key" ImagePath)" "$command"
expect "the configuration's folder" "$(said install | grep 'may change' | sed 's/ (.*//')" \
    'only SYSTEM, the Administrators and TrustedInstaller may change C:\ProgramData\Kovaltherm\'
expect "the configuration's folder: others may no longer write (Unix mode $(stat -c %a "$config_folder"))" \
    "$((8#$(stat -c %a "$config_folder") & 8#002))" 0
grep -q '^kovaltherm_temperature_celsius{sensor="[0-9]*",location="2",label="CPU"} ' "$prom" &&
    ok "the service labels the sensors as ${config:-the default sensors.conf} says" ||
    fail "no sensor configuration applied: $(grep -e '^kovaltherm_temp' -e '^kovaltherm_config' "$prom")"
if [ -n "$next" ]; then
    expect "TEXTFILE by its short name" "$(said install | grep '^TEXTFILE')" "TEXTFILE C:\\$short\\kovaltherm.prom is $textfile"
fi
if [ -n "$listen" ]; then
    expect "the URL reserved" "$(said install | grep reserved)" "reserved http://$listen/ for the service (D:(A;;GX;;;SY))"
    wait_for 10 bash -c "curl -sf http://$listen/metrics | grep -qx 'kovaltherm_up 1'" && ok "the service answers a scrape" ||
        fail "no scrape answered at $listen"
fi
expect "automatic start, own process, LocalSystem" "$(for v in Start Type ObjectName; do reg_value "$service_key" $v; done | tr '\n' ' ')" \
    "0x2 0x10 LocalSystem "
expect "running" "$(w sc query Kovaltherm | awk '$1 == "STATE" { print $4 }')" RUNNING
expect "event source" "$(w reg query "$source_key" | awk 'NF >= 3 { $1 = $1; print }' | tr '\n' '|')" \
    "EventMessageFile REG_EXPAND_SZ $installed\\ktsensors.exe|TypesSupported REG_DWORD 0x7|"
# Wine's service manager takes the restarts but not the flag that restarts after an error stop.
restarts=$(said install | grep 'is restarted')
[[ $restarts == "the service Kovaltherm is restarted 10 s, 10 s and 60 s after it ends unexpectedly (the count of failures starts again after 24 hours); after it stops with an error it stays stopped, as this service manager does not support restarts after an error stop (SERVICE_CONFIG_FAILURE_ACTIONS_FLAG: error 124: "*"; Windows supports them since Vista, Wine does not)" ]] &&
    ok "restarts after a failure: $restarts" || fail "restarts after a failure: $restarts"

if [ -n "$next" ]; then
    # ---- A repair given the settings again takes them, and deletes the file it wrote before ----
    old_prom=$prom textfile='C:\kovaltherm-msi\moved.prom'
    prom=$(unix "$textfile")
    msi repair /i "$(win "$msi_v1")" REINSTALL=ALL REINSTALLMODE=vomus INTERVAL=2 "TEXTFILE=$textfile"
    expect "repair exits 0" "$?" 0
    command="\"$installed\\ktsensors.exe\" --service --watch 2 --output \"$textfile\" --listen $listen --config \"$config\""
    expect "after the repair" "$(reg_value "$service_key" ImagePath)" "$command"
    wait_for 15 up_since "$(date +%s)" && [ ! -e "$old_prom" ] && ok "the file moved: $(said repair | grep deleted)" ||
        fail "no reading in $prom after the repair, or $old_prom left"

    # ---- The next version over this one while the service writes ----
    (t0=$(date +%s%N); while :; do
        state=missing
        [ -e "$prom" ] && state="$(grep -x 'kovaltherm_up [01]' "$prom") $(stat -c %y "$prom" | cut -c12-23)"
        echo "$((($(date +%s%N) - t0) / 1000000)) $state"
        sleep 0.1
    done) >"$work/timeline" &
    poller=$!
    sleep 2
    msi upgrade /i "$(win "$msi_v2")"
    expect "upgrade exits 0" "$?" 0
    echo "$(($(tail -n 1 "$work/timeline" | cut -d' ' -f1))) msiexec returned" >"$work/returned"
    wait_for 15 up_since "$(($(date +%s) + 1))" || fail "no reading of the new version"
    sleep 1
    kill "$poller" && wait "$poller" 2>/dev/null
    poller=
    echo "    the textfile every 100 ms during the upgrade (ms, then what the file said and its time):"
    sort -n -s -k1,1 "$work/timeline" "$work/returned" | awk '{ s = $0; sub(/^[0-9]+ /, "", s) } s == "msiexec returned" { print "    | " $0; next }
        s != last { print "    | " $0 } { last = s }'
    expect "samples of a missing textfile (of $(wc -l <"$work/timeline"))" "$(grep -c ' missing$' "$work/timeline")" 0
    expect "products installed" "$(products)" 1
    expect "the product's version" "$(w reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\${codes[1]}" /v DisplayVersion |
        awk '$1 == "DisplayVersion" { print $3 }')" "$next_version"
    expect "the settings kept" "$(reg_value "$service_key" ImagePath)" "$command"
    expect "running" "$(w sc query Kovaltherm | awk '$1 == "STATE" { print $4 }')" RUNNING
    expect "ktsensors.exe's version resource" "$(strings -el "$(unix "$installed")/ktsensors.exe" | grep -A1 -x FileVersion | tail -n 1)" "$next_version"

    msi_v1=$msi_v2
fi

# ---- Uninstall, given another TEXTFILE and LISTEN, which it leaves alone: the recorded ones go,
# and a running monitor that starts with Windows closes and leaves no Run value (the machine's
# sensors.conf, no product's file, gone first, so that its folder goes too) ----
rm -f "$config_folder/sensors.conf"
run_value() { w reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v 'Kovaltherm Monitor' | sed -n 's/.*REG_SZ *//p'; }
if [ -n "$next" ]; then
    monitor=$("$wine" spawn "$work/monitor.out" "$(unix "$installed")/kovaltherm-monitor.exe")
    wait_for 20 "$wine" run "$build/monitor_probe.exe" send 3 >/dev/null 2>&1
    expect "the monitor starts with Windows" "$(run_value)" "\"$installed\\kovaltherm-monitor.exe\""
    echo "$ours" >"$(unix 'C:\kovaltherm-msi\victim.prom')"
    msi uninstall /x "$(win "$msi_v1")" 'TEXTFILE=C:\kovaltherm-msi\victim.prom' LISTEN=127.0.0.1:1
else
    msi uninstall /x "$(win "$msi_v1")"
fi
expect "uninstall exits 0" "$?" 0
w sc query Kovaltherm | grep -q STATE && fail "the service is still there" || ok "no service"
if [ -n "$listen" ]; then
    expect "the reservation removed" "$(said uninstall | grep reservation)" "removed the reservation of http://$listen/"
    ! curl -s -m 2 "http://$listen/metrics" >/dev/null && ok "nothing answers at $listen" || fail "$listen still answers"
fi
[ ! -e "$prom" ] && ok "no textfile" || fail "the textfile is still there"
if [ -n "$next" ]; then
    [ -e "$(unix 'C:\kovaltherm-msi\victim.prom')" ] && ok "TEXTFILE given to the uninstall is left" ||
        fail "the uninstall deleted the TEXTFILE given to it"
    rm -f "$(unix 'C:\kovaltherm-msi\victim.prom')"
    gone() { ! kill -0 "$monitor" 2>/dev/null; }
    wait_for 5 gone && ok "the monitor closed: $(said uninstall | grep -E 'monitor|Run value' | tr '\n' ' ')" ||
        { fail "the monitor still runs: $(said uninstall)"; kill "$monitor"; }
    expect "no Run value" "$(run_value)" ""
fi
snapshot after
# Changes that are not the product's, each with why: Wine's own bookkeeping; Windows Installer's
# empty keys and folder, which it makes at its first install on a machine and keeps; and what
# Wine's msiexec does beyond Windows Installer (it deletes empty parents of a removed key).
filters=(
    'Wine: a display device key per desktop its programs opened|^[<>] \[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Video\\'
    'Wine: its count of service starts|^[<>] \[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ServiceCurrent\]'
    'Windows Installer: its empty keys, made at its first install|^> \[HKEY_LOCAL_MACHINE\\Software\\(Classes\\Installer|Microsoft\\Windows\\CurrentVersion\\Installer)[^]]*\]$'
    'Windows Installer: its empty cache folder, made at its first install|^> \./windows/Installer$'
    'msiexec of Wine: the empty event log key above the removed source (Wine keeps no event log)|^< \[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Eventlog\\Application\]$'
)
changes=$({ diff "$work/before.keys" "$work/after.keys"; diff "$work/before.files" "$work/after.files"; } | grep '^[<>]')
for filter in "${filters[@]}"; do
    count=$(grep -cE "${filter#*|}" <<<"$changes")
    [ "$count" -gt 0 ] && echo "    filtered: $count lines, ${filter%%|*}"
    changes=$(grep -vE "${filter#*|}" <<<"$changes")
done
echo "    the prefix after the uninstall against before the install ($(grep -c . <<<"$changes") lines):"
sed 's/^/    | /' <<<"$changes" | head -n 12
expect "changes but the sensor cache" "$(grep -vE '^> \[HKEY_LOCAL_MACHINE\\Software\\(Wow6432Node\\)?Norvane[]\\]' <<<"$changes")" ""
grep -qF "> [$cache]" <<<"$changes" && ok "the sensor cache is left" || fail "no sensor cache"
echo "    from the first snapshot to the last: $((SECONDS - start)) s"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
