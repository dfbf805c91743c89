#!/usr/bin/env bash
# The monitor's footprint for make bench: kovaltherm-monitor.exe at its default interval on
# the steady notebook under Wine, beside an idle Wine GUI program (monitor_probe idle) in the
# same session for comparison. From /proc over SECONDS: each process's CPU time, scaled to an
# hour and as a share of one CPU, and its memory (resident, and of that its own, anonymous
# part); the monitor's CPU split between its window's thread and the others (the readings,
# inside the library); also the CPU of the stand-in driver's host process, which under Wine
# does the controller exchanges that Windows would count to the monitor. Writes JSON to OUT.
# Usage: monitor_bench.sh SOURCE_DIR BUILD_DIR OUT [SECONDS]
set -u
src=$1
build=$2
out=$3
seconds=${4:-90}
work=$build/monitor-bench
rm -rf "$work"
mkdir -p "$work"
. "$src/tests/monitor/session.sh"
. "$src/tests/bench/footprint.sh"
m= b=
trap 'kill $m $b 2>/dev/null; stop_session' EXIT

"$wine" run "$build/ktsensors.exe" --scenario "$(winpath "$src/examples/steady.json")" >"$work/steady.out" 2>&1
monitor=$(winpath "$build/kovaltherm-monitor.exe")
idle=$(winpath "$build/monitor_probe.exe")
start_session "$monitor" || exit 1
"$wine" spawn "$work/idle.out" explorer /desktop=shell,1000x700,x11 "$idle" idle >/dev/null
for i in $(seq 100); do
    m=$(windows_pids "$monitor" | head -n1) b=$(windows_pids "$idle" | head -n1)
    [ -n "$m" ] && [ -n "$b" ] && break
    sleep 0.1
done
[ -n "$m" ] && [ -n "$b" ] || { echo "monitor_bench: the monitor or the idle program did not start"; exit 1; }
d=$(driver_host "$m")
sleep 5 # the first readings, the icon and its fonts

declare -A before
for p in $m $b $d; do before[$p]=$(ticks "$p"); done
before[ui]=$(ticks "$m" "$m") # the window's thread: icon, tooltip, notifications, chart
echo "monitor_bench: measuring for $seconds s (monitor pid $m, idle pid $b, driver host pid ${d:-none})"
sleep "$seconds"
figures() { cpu $(($(ticks "$1") - ${before[$1]})); }
{
    echo "{"
    echo "  \"interval_seconds\": 2, \"measured_seconds\": $seconds,"
    ui=$(($(ticks "$m" "$m") - ${before[ui]}))
    echo "  \"monitor\": {$(figures "$m"), $(memory "$m"),"
    echo "              $(cpu "$ui" window_thread_), $(cpu $(($(ticks "$m") - ${before[$m]} - ui)) other_threads_)},"
    echo "  \"idle_wine_gui_program\": {$(figures "$b"), $(memory "$b")},"
    [ -n "$d" ] && echo "  \"driver_host\": {$(figures "$d")},"
    echo "  \"targets\": {\"cpu_percent\": 0.1, \"working_set_mib\": 15}"
    echo "}"
} >"$out"
cat "$out"
