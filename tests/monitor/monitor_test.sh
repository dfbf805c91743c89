#!/usr/bin/env bash
# kovaltherm-monitor's test build under Wine, on an Xvfb of its own with Wine's shell desktop,
# through the steady, heat-cycle and stuck-controller scenarios: what it hands the shell (the
# test build's record of every Shell_NotifyIconW call), the icon's and the chart's pixels in
# screenshots, WM_NULL round trips while a reading hangs, the machine's sensor configuration
# (labels, an ignored sensor, the owner's limits; saved through the settings window's elevated
# writer, refused where it must be), the menu's settings, and Exit.
# With "smoke", only: it starts, adds its icon with a reading, and exits cleanly.
# KOVALTHERM_MONITOR_DOCS=DIR copies the tooltip, notification, settings window and failed
# readings' screenshots the documentation shows into DIR.
# Usage: monitor_test.sh SOURCE_DIR BUILD_DIR [smoke]
set -u
src=$1
build=$2
mode=${3:-full}
work=$build/monitor-test
rm -rf "$work"
mkdir -p "$work"
. "$src/tests/monitor/session.sh"
monitor=$(winpath "$build/kovaltherm-monitor-test.exe")
# A monitor left running by a failed check would hold the session's one-instance mutex.
trap 'kill $(windows_pids "$monitor") 2>/dev/null; stop_session' EXIT

passed=0
failed=0
# Records a check: NAME, then a command that succeeds when the check passes.
check() {
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1)); echo "ok: $name"
    else
        failed=$((failed + 1)); echo "FAIL: $name"
    fi
}
started=$SECONDS
phase() { echo "--- $1 (at $((SECONDS - started)) s)"; }

log=$work/shell.log
: >"$log"
export KOVALTHERM_MONITOR_SHELL_LOG=$(winpath "$log")
# While this file exists, the test build declines a request for administrator rights.
export KOVALTHERM_MONITOR_DECLINE=$(winpath "$work/decline")
probe() { "$wine" run "$build/monitor_probe.exe" "$@"; }
scenario() { "$wine" run "$build/ktsensors.exe" --scenario "$(winpath "$src/examples/$1.json")" >"$work/$1.out" 2>&1; }
# The record's lines after the millisecond mark FROM; the mark of its last line.
after() { awk -F'\t' -v from="$1" '$1 > from' "$log"; }
mark() { tail -n1 "$log" | cut -f1; }
# Waits up to SECONDS for a line after FROM matching the extended regular expression (or,
# with a fourth argument F, containing the text).
wait_after() {
    local i
    for i in $(seq $(($3 * 5))); do
        after "$1" | grep -q"${4:-E}" -- "$2" && return 0
        sleep 0.2
    done
    return 1
}
# Runs a command until it succeeds, every 0.2 s for up to SECONDS: what a loaded machine delays.
eventually() {
    local i n=$(($1 * 5))
    shift
    for i in $(seq $n); do "$@" && return 0; sleep 0.2; done
    "$@"
}
no_monitor() { test -z "$(windows_pids "$monitor")"; }
last_tip() { after "$1" | grep -o $'tip=.*' | tail -n1; }
# The notification area, at the right end of the taskbar; the icon in it by its colour.
tray=400x28+600+672
icon_at() {
    local at
    at=$(convert "$1" -crop $tray +repage txt:- | grep -i -m1 -- "#$2" | cut -d: -f1)
    [ -n "$at" ] && echo "$((600 + ${at%,*} + 4)) $((672 + ${at#*,} + 4))"
}
hover() { local at; at=$(icon_at "$1" "$2") && xdotool mousemove --sync ${at% *} ${at#* }; }
show_window() {
    "$wine" spawn "$work/second.out" explorer /desktop=shell,1000x700,x11 "$monitor" >/dev/null
    local i
    for i in $(seq 50); do probe rect >"$work/rect" 2>/dev/null && return 0; sleep 0.2; done
    return 1
}
crop_window() { read -r x y w h <"$work/rect"; convert "$1" -crop "${w}x${h}+${x}+${y}" +repage "$2"; }
whole() { identify -format %wx%h+0+0 "$1"; }
deg=$'\xc2\xb0C'

# The command line: the usage on standard output; a wrong one refused in one line, status 2.
cli() { # STATUS TEXT ARGUMENTS...
    local want=$1 text=$2
    shift 2
    "$wine" run "$build/kovaltherm-monitor-test.exe" "$@" >"$work/cli.out" 2>&1
    [ $? = "$want" ] && grep -qF -- "$text" "$work/cli.out"
}
check "--help prints the usage" cli 0 'Usage: kovaltherm-monitor [--interval SECONDS]' --help
check "an interval out of range is refused" cli 2 "from 0.5 to 3600, not '0.1'" --interval 0.1
check "an unknown option is refused" cli 2 "unknown option '--bogus'" --bogus
# Another program holding the one-per-session name: said once, and no monitor.
holder=$("$wine" spawn "$work/holder.out" "$build/monitor_probe.exe" hold 'Local\Kovaltherm.Monitor' 30)
wait_for_line "$work/holder.out" holding 20
timeout 30 "$wine" run "$build/kovaltherm-monitor-test.exe" >"$work/held.out" 2>&1
held=$?
check "a name held by another program is reported, status 1 ($held)" \
    eval "[ $held = 1 ] && grep -qF 'another program holds Local\\Kovaltherm.Monitor' '$work/held.out'"
kill "$holder"
while kill -0 "$holder" 2>/dev/null; do sleep 0.1; done

# No sensor configuration of an earlier run: the machine's file, and Group Policy.
conf_dir=$("$wine" prefix)/drive_c/ProgramData/Kovaltherm
conf=$conf_dir/sensors.conf
rm -rf "$conf_dir"
[ "$mode" = smoke ] || "$wine" run reg delete 'HKLM\SOFTWARE\Policies\Kovaltherm' /f /reg:64 >/dev/null 2>&1

# The sensor cache, as a program with administrator rights could change it.
cache='HKLM\SOFTWARE\Norvane\QuenlarFeatures\Thermal'
tamper() { "$wine" run reg add "$cache$1" /v "$2" /t REG_DWORD /d "$3" /f /reg:32 >/dev/null 2>&1; }

phase "steady"
scenario steady
# A warning limit no firmware gives, read at the first reading; charted when the window opens.
tamper '\Sensor 0' 'Warning High' 0x7FFFFFC6
start_session "$monitor" || exit 1
wait_after 0 $'\ttip=sensor 0' 30
check "the icon is added once, with a reading" test "$(grep -c $'\tADD\t' "$log")" = 1
check "the tooltip: a line per sensor" test "$(last_tip 0)" = \
    "tip=sensor 0 (location 2) 52 $deg normal\\nsensor 1 (location 4) 41 $deg normal\\nsensor 2 (location 1) 47 $deg normal"
check "the icon's colour: normal" grep -q $'\ticon=#66bb6a' "$log"
screenshot "$work/steady.png"
check "normal's colour in the notification area" has_colour "$work/steady.png" $tray 66bb6a
echo "started and read in $((SECONDS - started)) s"

if [ "$mode" = smoke ]; then
    probe send 4 # Exit
    check "Exit removes the icon" wait_after 0 $'\tDELETE\tok=1' 10
        check "Exit ends the program" eventually 20 no_monitor
    echo "$passed passed, $failed failed"
    [ $failed -eq 0 ]
    exit
fi

hover "$work/steady.png" 66bb6a
sleep 2
screenshot "$work/tooltip.png"
# Explorer restarting and a resume from sleep bring the icon back, never a second one.
probe send taskbar-created
probe send resume
check "no second icon after TaskbarCreated and a resume" test "$(grep -c $'\tADD\t' "$log")" = 1
check "the icon is updated in place then" test "$(grep -c $'\tMODIFY\tok=1' "$log")" -ge 3
xdotool click 1
sleep 2
check "a click on the icon opens the window" eventually 10 eval "probe rect >/dev/null"
check "the window answers with a limit of 2^31 - 58 in the cache" eval "probe ping 1 >/dev/null"
probe send close
# A message any program can post: a reading's notice with a pointer-shaped parameter.
probe post 0x8002 0 0x41414141
from=$(mark)
tamper '' 'Number of sensors' 0x7FFFFFFF
count() { test "$("$wine" run reg query "$cache" /v 'Number of sensors' /reg:32 2>/dev/null | tr -d '\r' | grep -o '0x[0-9a-f]*')" = "$1"; }
check "the first failing call repaired the count to 3" eventually 20 count 0x3
check "a crafted message and a count of 2^31 - 1 leave it answering" eval "probe ping 1 >/dev/null"
check "and no notification that readings fail" test "$(after "$from" | grep -c 'info-title=Sensor readings failing')" = 0

phase "sensor configuration"
# examples/sensors.conf as the machine's file, in a folder only its owner can change (as the MSI
# makes it; the Wine prefix's owner stands for the administrators).
mkdir -m 755 "$conf_dir"
from=$(mark)
cp "$src/examples/sensors.conf" "$conf"
owners="by the owner's limits"
wait_after "$from" 'tip=sensor 0 (location 2, CPU)' 20 F
check "the file applies at the next reading: labels, no sensor at location 1" test "$(last_tip "$from")" = \
    "tip=sensor 0 (location 2, CPU) 52 $deg normal\\nsensor 1 (location 4, Chipset) 41 $deg warning $owners"
check "the icon follows the owner's warning for location 4" wait_after "$from" $'\ticon=#ffca28' 10
check "a notification names the chipset by its label" wait_after "$from" \
    "info-title=sensor 1 (Chipset) warning: 41 $deg"$'\t'"info=sensor 1 (location 4, Chipset): 41 $deg, warning (owner's limits: warning 35 $deg, critical 45 $deg)" 10 F
status() { probe text 900 | tr -d '\r'; }
# Waits up to SECONDS for the settings window's status to start with TEXT.
wait_status() {
    local i
    for i in $(seq $(($2 * 2))); do
        case "$(status)" in "$1"*) return 0 ;; esac
        sleep 0.5
    done
    echo "  the settings window says: $(status)"
    return 1
}
# The settings window: a change saved through the elevated writer, at the next reading.
from=$(mark)
probe send 5
probe settings 2 Processor 80 ''
check "Save asks for administrator rights for the change alone" wait_after "$from" \
    $'\tEXECUTE\tok=1\tverb=runas\tparameters=--save-sensor-settings "[location 2]|label = Processor|warning = 80"' 10 F
check "the window says it saved" wait_status 'Saved in C:\ProgramData\Kovaltherm\sensors.conf.' 10
check "the machine's file has the change and keeps the rest" eval "grep -qx 'label = Processor' '$conf' &&
    grep -qx 'warning = 80' '$conf' && grep -qx 'ignore = yes' '$conf' && grep -qx 'label = Chipset' '$conf'"
check "the change shows at the next reading" wait_after "$from" "tip=sensor 0 (Processor) 52 $deg normal $owners" 20 F
screenshot "$work/settings.png"
probe rect settings >"$work/rect"
crop_window "$work/settings.png" "$work/settings-window.png"
saved=$(md5sum <"$conf")
unchanged() { [ "$(md5sum <"$conf")" = "$saved" ]; }
# Declined at the UAC prompt: said plainly, nothing written.
touch "$work/decline"
probe settings 2 CPU '' ''
check "declining administrator rights is said plainly" \
    wait_status 'Not saved: administrator rights were not given, so nothing changed.' 10
check "and changes nothing" unchanged
rm "$work/decline"
# A folder standard users can change: refused by the window, and by the writer itself.
chmod 777 "$conf_dir"
probe settings 2 CPU '' ''
check "a folder others can change is refused by the window" \
    wait_status 'Not saved: the access control list of C:\ProgramData\Kovaltherm lets Everyone change it' 10
"$wine" run "$build/kovaltherm-monitor-test.exe" --save-sensor-settings '[location 2]|label = CPU'
refused=$?
"$wine" run "$build/kovaltherm-monitor-test.exe" --save-sensor-settings '[location 2]|lable = CPU'
malformed=$?
check "and by the elevated writer (status $refused; $malformed for a change not valid)" \
    eval "[ $refused = 1 ] && [ $malformed = 2 ] && unchanged"
chmod 755 "$conf_dir"
# A location Group Policy sets: its fields read-only, with the reason.
policy='HKLM\SOFTWARE\Policies\Kovaltherm\Sensors\Location 4'
from=$(mark)
"$wine" run reg add "$policy" /v Enabled /t REG_DWORD /d 1 /f /reg:64 >/dev/null
"$wine" run reg add "$policy" /v Label /t REG_SZ /d Board /f /reg:64 >/dev/null
wait_after "$from" 'tip=.*(Board)' 20
probe send 5
check "a location the policy sets is read-only in the window" test "$(probe text 1040 | tr -d '\r')" = "[read-only] Board"
check "with the reason" test "$(probe text 1043 | tr -d '\r')" = \
    "Fixed by Group Policy (HKLM\SOFTWARE\Policies\Kovaltherm\Sensors\Location 4); ask your administrator."
from=$(mark)
"$wine" run reg delete 'HKLM\SOFTWARE\Policies\Kovaltherm' /f /reg:64 >/dev/null
wait_after "$from" 'tip=.*(Chipset)' 20
# A file not valid: the last good configuration stays, said once.
from=$(mark)
printf '[location 2]\nlable = CPU\n' >"$conf"
problem='Sensor settings not valid: C:\ProgramData\Kovaltherm\sensors.conf line 2: unknown key'
check "a file not valid is said in a notification" wait_after "$from" $'\tinfo='"$problem" 20 F
check "the tooltip says so, over the last good labels" wait_after "$from" \
    "tip=Processor 52 $deg normal (owner's)\\nChipset 41 $deg warning (owner's)\\nSensor settings not valid: see the window" 10 F
check "the settings window says why" eval "probe text 901 | grep -qF '$problem'"
sleep 4
check "once" test "$(after "$from" | grep -c 'info-title=Sensor settings not valid')" = 1
probe settings close
from=$(mark)
rm "$conf"
check "without the file, the library's own at the next reading" wait_after "$from" \
    "tip=sensor 0 (location 2) 52 $deg normal\\nsensor 1 (location 4) 41 $deg normal\\nsensor 2 (location 1) 47 $deg normal" 20 F
check "and a notification that the settings apply again" wait_after "$from" 'info-title=Sensor settings apply again' 10 F

phase "heat cycle"
# The scenario's clock starts as it loads: the processor passes its warning limit at 10 s and
# about 40 s, and is critical from about 42 s to 50 s; the chipset stays below its limits.
from=$(mark)
scenario heat-cycle
check "a critical notification for sensor 0" wait_after "$from" $'\tinfo-title=sensor 0 critical' 75
sleep 3 # Wine shows a notification 2 s after it is asked for
screenshot "$work/notification.png"
check "critical's colour in the notification area" has_colour "$work/notification.png" $tray ef5350
check "a second start opens the running monitor's window" show_window
one_monitor() { test "$(windows_pids "$monitor" | wc -l)" = 1; }
check "the second start ended, the first runs on" eventually 20 one_monitor
screenshot "$work/window.png"
crop_window "$work/window.png" "$work/chart.png"
# --plot's colours: the bands at 45 % over white, the temperature, the limits.
for colour in normal:bae0bc warning:ffe79e critical:f8b2b0 temperature:1565c0 warning-limit:ef6c00 \
    critical-limit:b71c1c; do
    check "the chart shows ${colour%:*}" has_colour "$work/chart.png" "$(whole "$work/chart.png")" "${colour#*:}"
done
# One notification per sensor that becomes warning or critical, as the tooltips go.
statuses=$(after "$from" | grep -o 'tip=sensor 0 [^\\]*' | awk '{print $NF}')
rises=$(awk 'BEGIN { s["normal"] = 0; s["status"] = 1; s["reading"] = 1; s["warning"] = 2; s["critical"] = 3; p = 0 }
             { if (s[$1] > p && s[$1] >= 2) n++; p = s[$1] } END { print n + 0 }' <<<"$statuses")
notices=$(after "$from" | grep -c $'\tinfo-title=sensor 0 ')
check "a notification per rise into warning or critical ($notices for $rises)" test "$notices" = "$rises"
check "none for the chipset, which stays normal" test "$(after "$from" | grep -c 'info=.*sensor 1 (location 4): ')" = 0
echo "notifications of the heat cycle:"
after "$from" | grep -o $'info-title=.*' | sed 's/^/  /'

phase "another notebook"
# As many sensors as the heat cycle's, the second one elsewhere (location 1, not 4).
from=$(mark)
scenario critical
check "its locations at the next reading" wait_after "$from" 'sensor 1 (location 1) ' 20 F

phase "stuck controller"
from=$(mark)
stuck_pid=$("$wine" spawn "$work/stuck.out" "$build/ktsensors.exe" --scenario "$(winpath "$src/examples/stuck-controller.json")")
sleep 1
probe ping 8 | tee "$work/ping.txt"
# A window that waited on the reading would miss by seconds: a hung read takes about 3.4 s.
check "WM_NULL answered within 1 s while readings hang" grep -q ', 0 of 1000 ms or more, 0 unanswered' "$work/ping.txt"
check "a notification that readings fail" wait_after "$from" $'\tinfo-title=Sensor readings failing' 45
check "the icon: \"!\" on the failed colour" wait_after "$from" $'\ticon=#616161' 10
check "the tooltip: no reading from either sensor" wait_after "$from" \
    $'\ttip=sensor 0 (location 2) no reading\\nsensor 1 (location 5) no reading' 20 F
screenshot "$work/stuck.png"
check "the failed colour in the notification area" has_colour "$work/stuck.png" $tray 616161
crop_window "$work/stuck.png" "$work/stuck-chart.png"
check "the chart shows the failed readings" has_colour "$work/stuck-chart.png" "$(whole "$work/stuck-chart.png")" b8b8b8
from=$(mark)
scenario steady
check "a notification that readings are back" wait_after "$from" $'\tinfo-title=Sensor readings back' 45
kill "$stuck_pid" 2>/dev/null

phase "menu and exit"
query() { "$wine" run reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | grep -o 'REG_[A-Z_]* .*'; }
probe send 2
check "Notifications off is remembered" test "$(query 'HKCU\Software\Kovaltherm\Monitor' Notifications)" = "REG_DWORD    0x0"
probe send 2
check "and on again" test "$(query 'HKCU\Software\Kovaltherm\Monitor' Notifications)" = "REG_DWORD    0x1"
probe send 3
check "Start with Windows: the quoted path in the Run key" test \
    "$(query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' 'Kovaltherm Monitor')" = "REG_SZ    \"$monitor\""
probe send 3
check "and removed again" test -z "$(query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' 'Kovaltherm Monitor')"
from=$(mark)
probe send 4
check "Exit removes the icon" wait_after "$from" $'\tDELETE\tok=1' 10
check "Exit ends the program" eventually 20 no_monitor
check "one icon added in all" test "$(grep -c $'\tADD\t' "$log")" = 1

if [ -n "${KOVALTHERM_MONITOR_DOCS:-}" ]; then
    convert "$work/tooltip.png" -crop 360x100+640+600 +repage "$KOVALTHERM_MONITOR_DOCS/monitor-tooltip.png"
    convert "$work/notification.png" -crop 460x140+540+560 +repage "$KOVALTHERM_MONITOR_DOCS/monitor-notification.png"
    cp "$work/stuck-chart.png" "$KOVALTHERM_MONITOR_DOCS/monitor-failed.png"
    cp "$work/settings-window.png" "$KOVALTHERM_MONITOR_DOCS/monitor-settings.png"
fi
echo "screenshots in $work; $((SECONDS - started)) s"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
