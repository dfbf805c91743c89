#!/usr/bin/env bash
# The MSI of this build's architecture under Wine's msiexec, in the prefix and with the driver
# scripts/wine runs. Refused settings; an install with INTERVAL (on x64 with TEXTFILE, LISTEN,
# CONFIG_FILE and every feature, on x86 with the service's feature alone): the files, the monitor's
# Start-menu entry, the service's command line, start type and account, the event source, the
# sensor configuration's folder (made open beforehand, given Program Files' access; its
# sensors.conf read on x86), the textfile within one interval plus one reading, on x64 a scrape and the URL's reservation
# (made at install, removed at uninstall). With NEXT_BUILD (the same sources built as the next version, x64):
# a refused downgrade, a repair given INTERVAL again, the upgrade in place while the service
# writes (one product, the settings kept, the textfile polled every 100 ms and never missing). Then
# the uninstall, and a registry export and file list of the prefix against those taken before:
# nothing left but the sensor cache.
# Usage: msi_test.sh SOURCE_DIR BUILD_DIR VERSION [NEXT_BUILD_DIR NEXT_VERSION]
set -u
src=$1 build=$2 version=$3 next=${4:-} next_version=${5:-}
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

# A machine without Kovaltherm (an earlier run's product or service removed), an empty cache;
# the textfile's folder exists, as windows_exporter's installer makes it.
cleanup() {
    [ -n "$poller" ] && kill "$poller" 2>/dev/null
    for code in "${codes[@]}"; do w msiexec /x "$code" /qn >/dev/null; done
    w "$build/ktsensors.exe" --uninstall-service >/dev/null
}
folders=("$(unix 'C:\kovaltherm-msi')" "$(unix 'C:\Program Files\windows_exporter')" "$(unix 'C:\ProgramData\Kovaltherm')")
trap 'cleanup; rm -rf "$work" "${folders[@]}"' EXIT
cleanup
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

# ---- Settings the service could not run with are refused, with the reason in the log ----
if [ -n "$next" ]; then
    for setting in INTERVAL=0 INTERVAL=90000 INTERVAL=1.5 'TEXTFILE=C:\kovaltherm-msi\kovaltherm.txt' \
        'TEXTFILE=C:\%TEMP%\kovaltherm.prom' 'TEXTFILE=kovaltherm.prom' LISTEN=localhost:9757 LISTEN=0.0.0.0:0 'LISTEN=[::1]' \
        'CONFIG_FILE=C:\%TEMP%\sensors.conf'; do
        msi refused /i "$(win "$msi_v1")" "$setting"
        status=$?
        [ $status = $((1603 % 256)) ] && [[ $(said refused) == "${setting%%=*} must be"* ]] &&
            [ "$(products)" = 0 ] && ok "$setting refused: $(said refused | cut -c1-70)..." ||
            fail "$setting: status $status, $(said refused)"
    done
fi

# ---- The older version over the newer is refused (over a fresh install of the newer: Wine's
# removal of an older version deletes the newer one's UpgradeCode registration too) ----
if [ -n "$next" ]; then
    msi newer /i "$(win "$msi_v2")" "${settings[@]}" && msi downgrade /i "$(win "$msi_v1")"
    status=$?
    [ $status = $((1603 % 256)) ] && [ "$(said downgrade)" = "A newer version of Kovaltherm is already installed. To go back to this version, uninstall the newer one first." ] &&
        ok "downgrade refused: $(said downgrade)" || fail "downgrade: status $status, $(said downgrade)"
    msi removed /x "$(win "$msi_v2")"
    expect "products installed" "$(products)" 0
fi

# ---- Install with settings ----
# The sensor configuration's folder made beforehand, as any user may in ProgramData, and open to
# everyone: the install gives it Program Files' access, and on x86 (without CONFIG_FILE) the
# service reads the machine's sensors.conf there.
config_folder=$(unix 'C:\ProgramData\Kovaltherm')
mkdir -m 777 "$config_folder"
[ -n "$config" ] || cp "$src/examples/sensors.conf" "$config_folder/"
msi install /i "$(win "$msi_v1")" "${settings[@]}"
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
if [ -n "$listen" ]; then
    expect "the URL reserved" "$(said install | grep reserved)" "reserved http://$listen/ for the service Kovaltherm (D:(A;;GX;;;SY))"
    wait_for 10 bash -c "curl -sf http://$listen/metrics | grep -qx 'kovaltherm_up 1'" && ok "the service answers a scrape" ||
        fail "no scrape answered at $listen"
fi
expect "automatic start, own process, LocalSystem" "$(for v in Start Type ObjectName; do reg_value "$service_key" $v; done | tr '\n' ' ')" \
    "0x2 0x10 LocalSystem "
expect "running" "$(w sc query Kovaltherm | awk '$1 == "STATE" { print $4 }')" RUNNING
expect "event source" "$(w reg query "$source_key" | awk 'NF >= 3 { $1 = $1; print }' | tr '\n' '|')" \
    "EventMessageFile REG_EXPAND_SZ $installed\\ktsensors.exe|TypesSupported REG_DWORD 0x7|"
expect "restarts after a failure" "$(said install | grep -c 'restarts 10 s, 10 s and 60 s')" 1

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

# ---- Uninstall: nothing left but the sensor cache ----
# (and the machine's sensors.conf, with its folder: gone first, as it is no product's file)
rm -f "$config_folder/sensors.conf"
msi uninstall /x "$(win "$msi_v1")"
expect "uninstall exits 0" "$?" 0
w sc query Kovaltherm | grep -q STATE && fail "the service is still there" || ok "no service"
if [ -n "$listen" ]; then
    expect "the reservation removed" "$(said uninstall | grep reservation | sed 's/ (.*//')" "removed the reservation of http://$listen/"
    ! curl -s -m 2 "http://$listen/metrics" >/dev/null && ok "nothing answers at $listen" || fail "$listen still answers"
fi
[ ! -e "$prom" ] && ok "no textfile" || fail "the textfile is still there"
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
