#!/usr/bin/env bash
# ktsensors.exe as a Windows service under Wine's service manager: install (what the service
# manager and the registry record), the textfile it writes (appears, is rewritten, meets the
# textfile collector's rules, parses strictly), one event per status change and per start or
# end of failing readings, stop within the wait hint, kovaltherm_up 0 while the driver is
# stopped, a refused folder that standard users could change, and an uninstall that leaves no
# service, no event source and no file.
# Wine keeps no Event Log: ReportEvent only passes the event to its debug channels. The test
# runs the Wine session with those channels on (the services write them to the prefix's log)
# and reads the events there.
# Usage: service_test.sh SOURCE_DIR BUILD_DIR HOST_BUILD_DIR
set -u
src=$1
build=$2
host=$3
wine=$src/scripts/wine
exe=$build/ktsensors.exe
case ${KOVALTHERM_WINE_ARCH:-win32} in
win64) log=${KOVALTHERM_WINEPREFIX:-$src/build/wine-prefix-win64}.log ;;
*) log=${KOVALTHERM_WINEPREFIX:-$src/build/wine-prefix}.log ;;
esac
work=$(mktemp -d)
chmod 755 "$work"
mkdir -m 755 "$work/textfile"
prom=$work/textfile/kovaltherm.prom
passed=0 failed=0
# The wait hint the service gives for a stop (tools/ktsensors/service_run_windows.cpp).
stop_bound_ms=10000

win() { echo "Z:$(sed 's|/|\\|g' <<<"$1")"; }
ok() { echo "ok: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
expect() { if [ "$2" = "$3" ]; then ok "$1"; else fail "$1: got '$2', expected '$3'"; fi; }

cleanup() {
    "$wine" run "$exe" --uninstall-service >/dev/null 2>&1
    chmod -R u+w,o-w "$work" 2>/dev/null
    rm -rf "$work"
    # Back to a session without debug channels for the tests that follow.
    KOVALTHERM_WINEDEBUG= "$wine" restart >/dev/null
}
trap cleanup EXIT

# The events reported since log line $1, one "ID FIRST-INSERT" a line (ID as Event Viewer
# shows it, the low 16 bits).
events_since() {
    tail -n +"$(($1 + 1))" "$log" | tr -d '\r' | awk '
        /:fixme:advapi:ReportEventA \(/ {
            if (id != "") print id, first
            split($0, f, ","); id = f[4]; first = "-"; next }
        /:eventlog:ReportEventW L"/ && first == "-" { s = $0; sub(/.*L"/, "", s); sub(/"$/, "", s); first = s }
        END { if (id != "") print id, first }' |
        while read -r id first; do echo "$((id & 0xFFFF)) $first"; done
}

# Waits up to $1 seconds for the command in the other arguments to succeed.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.5
    done
}
file_says() { grep -qx "$1" "$prom" 2>/dev/null; }
mtime() { stat -c %y "$prom" 2>/dev/null; }
changed() { [ "$(mtime)" != "$1" ]; }
service_state() { "$wine" run sc query Kovaltherm 2>/dev/null | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
reg_value() { "$wine" run reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v n="$2" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'; }
service_key='HKLM\System\CurrentControlSet\Services\Kovaltherm'
source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\Kovaltherm'

# A session whose services pass events to the log; an empty cache for the notebook.
KOVALTHERM_WINEDEBUG='-all,trace+eventlog,warn+eventlog,err+eventlog,fixme+advapi' "$wine" restart
"$wine" run "$exe" --uninstall-service >/dev/null 2>&1
steps=$src/tests/wine/service_steps.json
"$wine" run "$exe" --check --reset-cache --scenario "$(win "$steps")" >/dev/null

# ---- Install, the file, the events of a scenario, stop, uninstall ----
mark=$(wc -l <"$log")
out=$("$wine" run "$exe" --install-service --watch 0.5 --output "$(win "$prom")" --scenario "$(win "$steps")" 2>&1)
expect "install exits 0" "$?" 0
echo "    $out"
expect "auto start" "$(reg_value "$service_key" Start)" 0x2
expect "own process" "$(reg_value "$service_key" Type)" 0x10
expect "LocalSystem" "$(reg_value "$service_key" ObjectName)" LocalSystem
expect "the command line" "$(reg_value "$service_key" ImagePath)" \
    "\"$(win "$exe")\" --service --watch 0.5 --output \"$(win "$prom")\" --scenario \"$(win "$steps")\""
expect "event source: message file" "$(reg_value "$source_key" EventMessageFile)" "$(win "$exe")"
expect "event source: types" "$(reg_value "$source_key" TypesSupported)" 0x7
# Wine accepts the restart-after-failure actions but records none (no FailureActions value).
wait_for 60 test -s "$prom" && ok "the file appears" || fail "no file $prom after 60 s"
first=$(mtime)
wait_for 20 changed "$first" && ok "the file is rewritten" || fail "the file stays as it was"
bytes=$(od -An -tx1 -N3 "$prom" | tr -d ' ')
[ "$bytes" != efbbbf ] && ok "no byte-order mark" || fail "a byte-order mark"
! grep -q $'\r' "$prom" && ok "LF line ends" || fail "CR in the file"
[ "$(tail -c1 "$prom" | od -An -tx1 | tr -d ' ')" = 0a ] && ok "newline at the end" || fail "no final newline"
! LC_ALL=C grep -q '[^[:print:][:space:]]' "$prom" && ok "ASCII only" || fail "bytes beyond ASCII"
cp "$prom" "$work/copy.prom"
"$host/tests/tool/exposition_check" "$work/copy.prom" && ok "the strict parser reads it" ||
    { fail "the strict parser refuses it"; cat "$work/copy.prom"; }
ls "$work/textfile" | grep -v '^kovaltherm\.prom$' | grep -q '\.prom$' && fail "another .prom file" ||
    ok "no other .prom file beside it"
echo "    the file's first lines:"
head -n 12 "$work/copy.prom" | sed 's/^/    | /'
# Sensor 0 at 89 C warns, is critical at the second reading there (above the warning limit less
# 2 after a warning), normal at once at 50 C; twice. Sensor 1 stays normal. One event per change
# after the service's start (whose first insert is the interval), none per reading.
expected="1 0.5|101 0|102 0|100 0|101 0|102 0|100 0"
got() { events_since "$mark" | tr '\n' '|' | sed 's/|$//'; }
all_events() { [ "$(got)" = "$expected" ]; }
wait_for 120 all_events
sleep 3 # a reading more would show a repeated event
expect "events: started, then one per status change" "$(got)" "$expected"
start_ns=$(date +%s%N)
"$wine" run sc stop Kovaltherm >/dev/null 2>&1
stopped() { [ "$(service_state)" = STOPPED ]; }
wait_for 30 stopped
stop_ms=$((($(date +%s%N) - start_ns) / 1000000))
[ "$(service_state)" = STOPPED ] && [ $stop_ms -le $stop_bound_ms ] &&
    ok "stopped in $stop_ms ms (bound $stop_bound_ms ms, sc included)" || fail "stop took $stop_ms ms"
file_says 'kovaltherm_up 0' && ok "the stopped service leaves kovaltherm_up 0" || fail "the file was left as it was"
expect "the stop is reported" "$(events_since "$mark" | tail -n1 | cut -d' ' -f1)" 2
out=$("$wine" run "$exe" --uninstall-service 2>&1)
expect "uninstall exits 0" "$?" 0
echo "    $out"
"$wine" run sc query Kovaltherm >/dev/null 2>&1 && fail "the service is still there" || ok "no service"
"$wine" run reg query "$service_key" >/dev/null 2>&1 && fail "the service key is still there" || ok "no service key"
"$wine" run reg query "$source_key" >/dev/null 2>&1 && fail "the event source is still there" || ok "no event source"
[ ! -e "$prom" ] && ok "no file" || fail "the file is still there"

# ---- The driver stopped and started again; a folder standard users could change ----
steady=$src/examples/steady.json
"$wine" run "$exe" --check --reset-cache --scenario "$(win "$steady")" >/dev/null
"$wine" run "$exe" --install-service --watch 0.5 --output "$(win "$prom")" --scenario "$(win "$steady")" >/dev/null
wait_for 60 file_says 'kovaltherm_up 1' || fail "no reading with kovaltherm_up 1"
mark=$(wc -l <"$log")
"$wine" driver stop >/dev/null
wait_for 90 file_says 'kovaltherm_up 0' && ok "driver stopped: kovaltherm_up 0 written" ||
    fail "driver stopped: no kovaltherm_up 0"
grep -q '^kovaltherm_last_success_timestamp_seconds [1-9]' "$prom" && ok "the last success is kept" ||
    fail "no last success"
"$wine" driver start >/dev/null
wait_for 90 file_says 'kovaltherm_up 1' && ok "driver started: kovaltherm_up 1 again" ||
    fail "driver started: still kovaltherm_up 0"
sleep 2
expect "events: failing once, recovered once" "$(events_since "$mark" | cut -d' ' -f1 | tr '\n' ' ')" "200 201 "
# Everyone may add files: the service writes nothing there and says why, once.
mark=$(wc -l <"$log")
chmod o+w "$work/textfile"
sleep 2
before=$(mtime)
sleep 3
expect "a folder Everyone may change: no writing" "$(mtime)" "$before"
chmod o-w "$work/textfile"
wait_for 20 changed "$before" && ok "writing resumes" || fail "no writing after the folder was mended"
expect "events: refused once, writing again once" "$(events_since "$mark" | cut -d' ' -f1 | tr '\n' ' ')" "300 301 "
"$wine" run "$exe" --uninstall-service >/dev/null 2>&1
chmod o+w "$work/textfile"
out=$("$wine" run "$exe" --install-service --output "$(win "$prom")" 2>&1)
status=$?
[ $status = 1 ] && [[ $out == *"lets Everyone change it"* ]] && ok "install refuses such a folder: $out" ||
    fail "install into a folder Everyone may change: exit $status: $out"
"$wine" run sc query Kovaltherm >/dev/null 2>&1 && fail "a refused install left a service" || ok "nothing installed"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
