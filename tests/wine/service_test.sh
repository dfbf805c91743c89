#!/usr/bin/env bash
# ktsensors.exe as a Windows service under Wine's service manager: what --install-service
# refuses; install (what the service manager and the registry record), the textfile it writes
# (appears, is rewritten, meets the textfile collector's rules, parses strictly), one event per
# status change and per start or end of failing readings, links planted under temporary names
# and over the file, stop within the wait hint, uninstall; a folder named in Greek and Japanese;
# an install over the installed service, the first one's --listen port held by another program
# until the service takes it; kovaltherm_up 0 soon after the driver stops; a folder
# standard users could change, or swapped for a link; a stop within its bound while other
# programs hold the thermal controller, and an uninstall then; a Kovaltherm.dll planted on PATH
# and in the current folder, never loaded; a service the MSI installed, left to it; every Group
# Policy of the ADMX template obeyed by the service and the tool, over sensors.conf; a
# sensors.conf in a folder standard users could change, or through a link, never read by the
# service.
# Wine keeps no Event Log: ReportEvent only passes the event to its debug channels. The test
# runs the Wine session with those channels on (the services write them to the prefix's log)
# and reads the events there.
# Usage: service_test.sh SOURCE_DIR BUILD_DIR HOST_BUILD_DIR
set -u
src=$1
build=$2
host=$3
wine=$src/scripts/wine
case ${KOVALTHERM_WINE_ARCH:-win32} in
win64) log=${KOVALTHERM_WINEPREFIX:-$src/build/wine-prefix-win64}.log ;;
*) log=${KOVALTHERM_WINEPREFIX:-$src/build/wine-prefix}.log ;;
esac
# On the prefix's drive C:, whose folders from the root only their owner can change, as the
# service requires of its program's folder and of every folder on the way to its file: the
# program and its DLL are copied there, as an administrator copies them to Program Files.
work=$("$wine" folder)
mkdir -m 755 "$work/textfile" "$work/program"
cp "$build/ktsensors.exe" "$build/Kovaltherm.dll" "$work/program/"
exe=$work/program/ktsensors.exe
prom=$work/textfile/kovaltherm.prom
passed=0 failed=0
# The bound the service keeps for a stop (tools/ktsensors/service_windows.h).
stop_bound_ms=10000
# How soon the file says kovaltherm_up 0 once the driver stops: an interval (0.5 s) and one
# call's worst case (4 s, docs/performance.md), with 2 s to spare for a loaded machine.
stale_bound_ms=6500

win() { "$wine" winpath "$1"; }
ok() { echo "ok: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
expect() { if [ "$2" = "$3" ]; then ok "$1"; else fail "$1: got '$2', expected '$3'"; fi; }

cleanup() {
    [ ${#readers[@]} -gt 0 ] && kill "${readers[@]}" 2>/dev/null
    [ -n "$squatter" ] && kill "$squatter" 2>/dev/null
    "$wine" run reg delete 'HKLM\SOFTWARE\Kovaltherm' /f /reg:64 >/dev/null 2>&1
    "$wine" run reg delete 'HKLM\SOFTWARE\Policies\Kovaltherm' /f /reg:64 >/dev/null 2>&1
    "$wine" run "$exe" --uninstall-service >/dev/null 2>&1
    chmod -R u+w,o-w "$work" 2>/dev/null
    rm -rf "$work"
    # Back to a session without debug channels or the planted PATH for the tests that follow.
    unset WINEPATH
    KOVALTHERM_WINEDEBUG= "$wine" restart >/dev/null
}
readers=()
squatter=
trap cleanup EXIT

# The events reported since log line $1, one "ID FIRST-INSERT" a line (ID as Event Viewer
# shows it, the low 16 bits).
events_since() {
    tail -n +"$(($1 + 1))" "$log" | tr -d '\r' | awk '
        /:fixme:advapi:ReportEventW \(/ {
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

# Installs with the arguments; true when it was refused (exit 1, or 2 for an option the service
# would not parse) with `message` in its line and left no service.
refused() {
    local message=$1 out status
    shift
    out=$(LANG=C.UTF-8 "$wine" run "$exe" --install-service "$@" 2>&1)
    status=$?
    if { [ $status = 1 ] || [ $status = 2 ]; } && [[ $out == *"$message"* ]] && ! "$wine" run sc query Kovaltherm >/dev/null 2>&1; then
        ok "refused: $out"
    else
        fail "install $*: exit $status, expected 1 with '$message': $out"
        "$wine" run "$exe" --uninstall-service >/dev/null 2>&1
    fi
}

# A Kovaltherm.dll on the machine's PATH, for every program of the session (the services too).
mkdir "$work/on-path" "$work/current"
cp "$build/planted/Kovaltherm.dll" "$work/on-path/"
cp "$build/planted/Kovaltherm.dll" "$work/current/"
export WINEPATH=$(win "$work/on-path")
# A session whose services pass events to the log; an empty cache for the notebook.
KOVALTHERM_WINEDEBUG='-all,trace+eventlog,warn+eventlog,err+eventlog,fixme+advapi' "$wine" restart
"$wine" run "$exe" --uninstall-service >/dev/null 2>&1
steps=$src/tests/wine/service_steps.json
"$wine" run "$exe" --check --reset-cache --scenario "$(win "$steps")" >/dev/null

# ---- What install refuses: the service could not run so ----
mkdir -m 755 "$work/other"
echo "127.0.0.1 localhost" | tee "$work/other/hosts" >"$work/other/victim.prom"
printf '{"sensors": [{"index": 0, "temprature": 50}]}\n' >"$work/bad.json"
mkdir -m 755 "$work/other/folder.prom"
mkdir -m 777 "$work/open"
ln -s textfile "$work/link"
long=$(win "$work/textfile")\\$(printf 'x%.0s' $(seq 260)).prom
refused "must name a .prom file" --output "$(win "$work/other/hosts")"
refused "is a file the service did not write" --output "$(win "$work/other/victim.prom")"
refused "is a folder" --output "$(win "$work/other/folder.prom")"
refused "may not hold any of %" --output "$(win "$work/textfile")\\%OS%\\kovaltherm.prom"
refused "may not name a device" --output "$(win "$work/textfile")\\COM1.prom"
refused "must be at most 259 characters long" --output "$long"
refused "does not exist" --output "$(win "$work/missing/kovaltherm.prom")"
refused "lets Everyone change it" --output "$(win "$work/open/kovaltherm.prom")"
refused "is a link" --output "$(win "$work/link/kovaltherm.prom")"
refused "sensors[0].temprature: unknown field" --output "$(win "$prom")" --scenario "$(win "$work/bad.json")"
refused "--listen: expected [ADDR:]PORT" --output "$(win "$prom")" --listen 127.0.0.1:65536
refused "--listen: expected [ADDR:]PORT" --output "$(win "$prom")" --listen localhost:9757
refused "--listen: the service needs a port" --output "$(win "$prom")" --listen 0.0.0.0:0
printf '[location 2]\nlabel = Open\n' >"$work/open/sensors.conf"
refused "lets Everyone change it (the service reads only" --output "$(win "$prom")" --config "$(win "$work/open/sensors.conf")"
refused "the path may not hold any of %" --output "$(win "$prom")" --config "$(win "$work/other")\\%OS%.conf"
[ "$(cat "$work/other/victim.prom")" = "127.0.0.1 localhost" ] && ok "the other file is left as it was" ||
    fail "the other file was changed"

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
# Links planted where the service writes: under every temporary name it once used (the file's
# name, .tmp and a process id), and over the file itself. None may take its write elsewhere.
echo "victim" >"$work/victim"
python3 -c 'import os, sys
for n in range(4, 8196, 4): os.symlink(sys.argv[1], "%s.tmp%d" % (sys.argv[2], n))' "$work/victim" "$prom"
ln -sfn "$work/victim" "$prom"
before=$(mtime)
wait_for 20 changed "$before" && [ ! -L "$prom" ] && ok "the link over the file is replaced by the file" ||
    fail "the link over the file stays"
sleep 2
expect "the links under temporary names lead nowhere" "$(cat "$work/victim")" victim
find "$work/textfile" -name 'kovaltherm.prom.tmp*' -delete
ls "$work/textfile" | grep -q '^~kovaltherm-' && fail "a temporary file is left" || ok "no temporary file left"
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

# ---- A folder named in Greek and Japanese; a Kovaltherm.dll planted on PATH and in the current
# folder; a service the MSI installed ----
# The arguments reach the program as UTF-16 (the Windows code page stays 1252); the program
# runs from a folder without Kovaltherm.dll, so every reading fails and no other copy may load.
unicode="$work/Ωmega 日本"
mkdir -m 755 "$unicode" "$work/alone"
cp "$exe" "$work/alone/"
alone=$work/alone/ktsensors.exe
for run in "$(win "$alone")" "cd /d $(win "$work/current") && $(win "$alone")"; do
    out=$("$wine" run cmd /c "$run --count 1" 2>&1)
    [[ $out == *"alone\Kovaltherm.dll is missing"* ]] && ok "no Kovaltherm.dll beside it: $out" ||
        fail "run without Kovaltherm.dll beside it ($run): $out"
done
out=$(LANG=C.UTF-8 "$wine" run "$alone" --install-service --watch 0.5 --output "$(win "$unicode/kovaltherm.prom")" 2>&1)
expect "install into $unicode exits 0" "$?" 0
wait_for 30 grep -qx 'kovaltherm_up 0' "$unicode/kovaltherm.prom" && ok "the file appears in $unicode" ||
    fail "no file in $unicode: $(ls "$work")"
for folder in on-path current; do
    [ ! -e "$work/$folder/planted-library-loaded" ] && ok "the Kovaltherm.dll in $folder is never loaded" ||
        fail "the Kovaltherm.dll in $folder was loaded"
done
"$wine" run reg add 'HKLM\SOFTWARE\Kovaltherm' /v Textfile /d "$(win "$prom")" /f /reg:64 >/dev/null
out=$("$wine" run "$alone" --install-service --output "$(win "$prom")" 2>&1)
[ $? = 1 ] && [[ $out == *"was installed by the Kovaltherm MSI"* ]] && ok "the MSI's service is left to it: $out" ||
    fail "install over the MSI's service: $out"
"$wine" run "$alone" --uninstall-service >/dev/null 2>&1
expect "the MSI's service is not removed either" "$(service_state)" RUNNING
"$wine" run reg delete 'HKLM\SOFTWARE\Kovaltherm' /f /reg:64 >/dev/null
out=$(LANG=C.UTF-8 "$wine" run "$alone" --uninstall-service 2>&1)
expect "uninstall exits 0" "$?" 0
[ ! -e "$unicode/kovaltherm.prom" ] && ok "uninstall removes the file in $unicode" || fail "the file in $unicode stays"

# ---- An install over the installed service; the driver stopped and started again; a folder
# standard users could change, or swapped for a link ----
# Another program holds the --listen port when the service starts: the service says so (event
# 401, kovaltherm_service_listening 0 in its file), tries again, and takes the port once it is
# free (event 400, the metric 1, scrapes answered).
steady=$src/examples/steady.json
"$wine" run "$exe" --check --reset-cache --scenario "$(win "$steady")" >/dev/null
# The squatter takes a port the system chooses (a random one may be some connection's own) and
# names it once it holds it.
rm -f "$work/squatter.port"
python3 -c 'import os, socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
with open(sys.argv[1] + ".new", "w") as f: f.write(str(s.getsockname()[1]))
os.rename(sys.argv[1] + ".new", sys.argv[1]); time.sleep(600)' "$work/squatter.port" &
squatter=$!
wait_for 10 test -s "$work/squatter.port" || fail "the squatter did not start"
port=$(cat "$work/squatter.port")
mark=$(wc -l <"$log")
"$wine" run "$exe" --install-service --watch 2 --output "$(win "$prom")" --scenario "$(win "$steady")" \
    --listen 127.0.0.1:$port >/dev/null
wait_for 60 file_says 'kovaltherm_up 1' || fail "no reading with kovaltherm_up 1"
wait_for 10 file_says 'kovaltherm_service_listening 0' && ok "port $port held by another program: kovaltherm_service_listening 0" ||
    fail "port $port held by another program: $(grep listening "$prom")"
cp "$prom" "$work/listening.prom"
"$host/tests/tool/exposition_check" "$work/listening.prom" && ok "the strict parser reads it" || fail "the strict parser refuses it"
kill $squatter
wait $squatter 2>/dev/null
squatter=
wait_for 20 bash -c "curl -sf http://127.0.0.1:$port/metrics | grep -qx 'kovaltherm_up 1'" &&
    ok "once the port is free, the service answers there" || fail "no answer at 127.0.0.1:$port once the port was free"
wait_for 10 file_says 'kovaltherm_service_listening 1' && ok "then kovaltherm_service_listening 1" ||
    fail "no kovaltherm_service_listening 1: $(grep listening "$prom")"
expect "events: started, not listening, listening" "$(events_since "$mark" | cut -d' ' -f1 | tr '\n' ' ')" "1 401 400 "
# The update, as a script-based upgrade makes it: the file is there at every look.
(while [ ! -e "$work/watched" ]; do [ -e "$prom" ] || echo missing; sleep 0.05; done) >"$work/gaps" &
out=$("$wine" run "$exe" --install-service --watch 0.5 --output "$(win "$prom")" --scenario "$(win "$steady")" 2>&1)
expect "install over the service exits 0" "$?" 0
echo "    $out"
expect "the new command line" "$(reg_value "$service_key" ImagePath)" \
    "\"$(win "$exe")\" --service --watch 0.5 --output \"$(win "$prom")\" --scenario \"$(win "$steady")\""
wait_for 30 file_says 'kovaltherm_up 1'
touch "$work/watched"
wait
expect "the file is never missing during the update" "$(grep -c missing "$work/gaps")" 0
mark=$(wc -l <"$log")
start_ns=$(date +%s%N)
"$wine" driver stop >/dev/null
until file_says 'kovaltherm_up 0' || [ $((($(date +%s%N) - start_ns) / 1000000)) -gt 90000 ]; do sleep 0.05; done
stale_ms=$((($(date +%s%N) - start_ns) / 1000000))
[ $stale_ms -le $stale_bound_ms ] && ok "driver stopped: kovaltherm_up 0 written after $stale_ms ms" ||
    fail "driver stopped: kovaltherm_up 0 only after $stale_ms ms (bound $stale_bound_ms ms)"
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
# The folder swapped for a link, as whoever could rename a folder on the way would: nothing is
# written through it.
mkdir -m 755 "$work/elsewhere"
mv "$work/textfile" "$work/real"
ln -s elsewhere "$work/textfile"
sleep 3
expect "a folder swapped for a link: nothing written through it" "$(ls -A "$work/elsewhere")" ""
rm "$work/textfile"
mv "$work/real" "$work/textfile"
before=$(mtime)
wait_for 20 changed "$before" && ok "writing resumes" || fail "no writing after the link was removed"
expect "events: refused once, writing again once, twice" \
    "$(events_since "$mark" | cut -d' ' -f1 | tr '\n' ' ')" "300 301 300 301 "

# ---- Group Policy: every policy the ADMX template defines, set as Group Policy sets it (a reg
# add of exactly the keys and values the template names), obeyed by the tool and the service
# over sensors.conf; changes apply at the next reading; a value that is not valid keeps the last
# good settings and says so ----
policies='HKLM\SOFTWARE\Policies\Kovaltherm'
every=$(win "$src/tests/wine/every_location.json")
mkdir -m 755 "$work/config"
conf=$work/config/sensors.conf
printf '[location 2]\nlabel = File 2\n[location 5]\nlabel = File 5\nwarning = 40\n' >"$conf"
# Each policy enabled with label "Policy N", warning 30 + N and critical 60 + N; location 9
# (physical index 7, which has neither limits nor a temperature) ignored.
{
    printf '@echo off\r\n'
    python3 "$src/packaging/admx/check_admx.py" --values "$src" | while IFS=$'\t' read -r key value type; do
        n=${key##* }
        case $value in
        Enabled) data=1 ;; Label) data="Policy $n" ;; Ignore) data=$((n == 9)) ;;
        Warning) data=$((30 + n)) ;; Critical) data=$((60 + n)) ;;
        esac
        # Wine's cmd now and then fails to start reg.exe ("Can't recognize 'reg add …'"): once more.
        line=$(printf 'reg add "HKLM\\%s" /v %s /t %s /d "%s" /f /reg:64 >nul' "$key" "$value" "$type" "$data")
        printf '%s || %s\r\n' "$line" "$line"
    done
} >"$work/policies.cmd"
expect "the template's 8 policies, 5 values each" "$(grep -c '^reg add' "$work/policies.cmd")" 40
"$wine" run cmd /c "$(win "$work/policies.cmd")"
sensors() { jq -r '[.sensors[] | "\(.location)|\(.label)|\(.owner_warning)|\(.owner_critical)"] | join(" ")' <<<"$1"; }
# The tool first, alone with the driver: a running service would load its own notebook.
"$wine" run "$exe" --uninstall-service >/dev/null
out=$("$wine" run "$exe" --json --reset-cache --scenario "$every" --config "$(win "$conf")" 2>&1)
expect "the tool: every location as its policy says, location 9 ignored (exit 0)" \
    "$(sensors "$out") ignored $(jq .ignored_sensors <<<"$out")" \
    "2|Policy 2|32|62 4|Policy 4|34|64 5|Policy 5|35|65 1|Policy 1|31|61 6|Policy 6|36|66 7|Policy 7|37|67 8|Policy 8|38|68 ignored 1"
"$wine" run "$exe" --install-service --watch 0.5 --output "$(win "$prom")" --scenario "$every" --config "$(win "$conf")" >/dev/null
series() { grep -x "kovaltherm_$1{sensor=\"$2\",location=\"$3\",label=\"$4\"} $5" "$prom" >/dev/null 2>&1; }
wait_for 60 series owner_critical_celsius 6 8 "Policy 8" 68 && ok "the service: the policies' labels and thresholds" ||
    fail "the service: no Policy 8 with critical 68: $(grep owner_critical "$prom")"
file_says 'kovaltherm_sensors_ignored 1' && ! grep -q 'location="9"' "$prom" && ok "the service: location 9 ignored" ||
    fail "the service: location 9 not ignored"
mark=$(wc -l <"$log")
# Location 5's policy disabled: no settings of the owner's, whatever the file says; location 2's
# removed: the file decides there again. Both at the next reading, without a restart.
"$wine" run reg add "$policies\\Sensors\\Location 5" /v Enabled /t REG_DWORD /d 0 /f /reg:64 >/dev/null
"$wine" run reg delete "$policies\\Sensors\\Location 2" /f /reg:64 >/dev/null
wait_for 20 series temperature_celsius 0 2 "File 2" 52 && series temperature_celsius 2 5 "" 45 &&
    ok "a policy disabled and one removed apply at the next reading" ||
    fail "after the policy changes: $(grep '^kovaltherm_temperature' "$prom")"
! grep -q '^kovaltherm_owner_warning_celsius{sensor="2"' "$prom" && ok "the disabled location has no owner's threshold" ||
    fail "the disabled location keeps the file's threshold"
# A threshold of the wrong type: refused whole, the last good settings stay, said once.
"$wine" run reg add "$policies\\Sensors\\Location 4" /v Warning /t REG_SZ /d 35 /f /reg:64 >/dev/null
wait_for 20 file_says 'kovaltherm_config_last_reload_successful 0' && series owner_warning_celsius 1 4 "Policy 4" 34 &&
    ok "a value of the wrong type: refused, the last good settings stay" || fail "a value of the wrong type: $(grep -e config -e owner_warning "$prom")"
out=$(WINE_MAX_PROGRAM_STATUS=3 "$wine" run "$exe" --check --scenario "$every" --config "$(win "$conf")" 2>&1)
[[ $out == "KOVALTHERM UNKNOWN - "*"Location 4: Warning must be a REG_DWORD; no sensor configuration is in effect"* ]] &&
    ok "the tool says why: $out" || fail "the tool with a bad policy: $out"
"$wine" run reg add "$policies\\Sensors\\Location 4" /v Warning /t REG_DWORD /d 34 /f /reg:64 >/dev/null
wait_for 20 file_says 'kovaltherm_config_last_reload_successful 1' && ok "mended: taken again" || fail "not taken again"
sleep 2
expect "events: refused once, valid again once" "$(events_since "$mark" | cut -d' ' -f1 | tr '\n' ' ')" "500 501 "
"$wine" run reg delete "$policies" /f /reg:64 >/dev/null
# The file's folder opened to standard users, then the file swapped for a link to another: the
# service, which runs as LocalSystem, reads neither, keeps the last good configuration and says
# so once each; the tool, run by a user, reads the file it is given wherever it is.
wait_for 20 series temperature_celsius 2 5 "File 5" 45 || fail "the file's labels without the policies: $(grep '^kovaltherm_temperature' "$prom")"
mark=$(wc -l <"$log")
chmod o+w "$work/config"
wait_for 20 file_says 'kovaltherm_config_last_reload_successful 0' && series temperature_celsius 2 5 "File 5" 45 &&
    ok "a folder Everyone may change: refused, the last good settings stay" || fail "an open folder: $(grep config "$prom")"
out=$("$wine" run "$exe" --json --scenario "$every" --config "$(win "$conf")" 2>&1)
expect "the tool reads it all the same" "$(jq -r '.sensors[] | select(.location == 5) | .label' <<<"$out")" "File 5"
chmod o-w "$work/config"
wait_for 20 file_says 'kovaltherm_config_last_reload_successful 1' && ok "mended: taken again" || fail "not taken again"
printf '[location 5]\nlabel = Elsewhere\n' >"$work/elsewhere.conf"
mv "$conf" "$work/config.real"
ln -s "$work/elsewhere.conf" "$conf"
wait_for 20 file_says 'kovaltherm_config_last_reload_successful 0' && series temperature_celsius 2 5 "File 5" 45 &&
    ok "the file swapped for a link: refused, the last good settings stay" || fail "a link: $(grep -e config -e 'location="5"' "$prom")"
rm "$conf"
mv "$work/config.real" "$conf"
wait_for 20 file_says 'kovaltherm_config_last_reload_successful 1' && ok "mended: taken again" || fail "not taken again"
sleep 1
events_since "$mark" | sed 's/^/    event /'
expect "events: refused and valid again, twice" "$(events_since "$mark" | cut -d' ' -f1 | tr '\n' ' ')" "500 501 500 501 "

# ---- A stop within its bound while other programs hold the controller, by an uninstall ----
# Three programs read a controller that never answers, one after another through the library's
# lock; the service's call waits behind them. The probe stops the service and watches the stop,
# which abandons the call at the bound; the uninstall started meanwhile removes nothing before
# the service has stopped, then everything, and nothing writes the file afterwards.
stuck=$src/examples/stuck-controller.json
WINE_MAX_PROGRAM_STATUS=3 "$wine" run "$exe" --check -t 1 --reset-cache --scenario "$(win "$stuck")" >/dev/null
"$wine" run "$exe" --install-service --watch 0.5 --output "$(win "$prom")" --scenario "$(win "$stuck")" >/dev/null
for n in 1 2 3; do readers+=("$("$wine" spawn /dev/null "$exe" --watch 0.5)"); done
sleep 4
mark=$(wc -l <"$log")
"$wine" run "$build/service_stop_probe.exe" $stop_bound_ms >"$work/stop" 2>&1 &
probe=$!
sleep 1
start_ns=$(date +%s%N)
out=$("$wine" run "$exe" --uninstall-service 2>&1)
status=$?
uninstall_ms=$((($(date +%s%N) - start_ns) / 1000000))
wait $probe && ok "$(tail -n1 "$work/stop")" || fail "$(tail -n1 "$work/stop")"
sed 's/^/    /' "$work/stop"
expect "uninstall while the controller is held exits 0 ($uninstall_ms ms): $out" $status 0
last=$(events_since "$mark" | tail -n1 | cut -d' ' -f1)
[ "$last" = 2 ] || [ "$last" = 3 ] && ok "the stop is reported (event $last)" || fail "no stop event: '$last'"
kill "${readers[@]}" 2>/dev/null
readers=()
sleep 2
[ ! -e "$prom" ] && ok "no file afterwards" || fail "the file is there again"
"$wine" run reg query "$source_key" >/dev/null 2>&1 && fail "the event source is still there" || ok "no event source"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
