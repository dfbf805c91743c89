#!/usr/bin/env bash
# The service's footprint for make bench: ktsensors.exe installed as the service at its
# default interval (30 s) with --listen, on the steady notebook under Wine, scraped every 15 s
# as a Prometheus would, beside ktsensors.exe run idle (one reading, then a day's wait) in the
# same session as the baseline. Over SECONDS: each process's CPU time scaled to an hour and its
# memory, the service's readings and scrapes and its CPU per reading (the idle time between
# included), and the CPU of the stand-in driver's host process and of the wineserver, which
# under Wine do what Windows' kernel would count to the service.
# Writes JSON to OUT.
# Usage: service_bench.sh SOURCE_DIR BUILD_DIR OUT [SECONDS]
set -u
src=$1
build=$2
out=$3
seconds=${4:-90}
wine=$src/scripts/wine
. "$src/tests/bench/footprint.sh"
# The service runs and writes only where standard users cannot change a folder: the program
# and its DLL are copied to one on the prefix's drive C:, and it writes there.
work=$("$wine" folder)
cp "$build/ktsensors.exe" "$build/Kovaltherm.dll" "$work/"
exe=$work/ktsensors.exe
winpath() { "$wine" winpath "$1"; }
b=
trap '[ -n "$b" ] && kill $b 2>/dev/null; "$wine" run "$exe" --uninstall-service >/dev/null 2>&1; rm -rf "$work"' EXIT

steady=$(winpath "$src/examples/steady.json")
port=$((20000 + RANDOM % 40000))
"$wine" run "$exe" --uninstall-service >/dev/null 2>&1
"$wine" run "$exe" --reset-cache --scenario "$steady" >/dev/null || exit 1
"$wine" run "$exe" --install-service --output "$(winpath "$work/kovaltherm.prom")" --scenario "$steady" \
    --listen "127.0.0.1:$port" || exit 1
b=$("$wine" spawn "$work/idle.out" "$exe" --watch 86400 --output "$(winpath "$work/idle.prom")")
reading() { curl -sf "http://127.0.0.1:$port/json" | jq -r .reading; }
up() { curl -sf "http://127.0.0.1:$port/metrics" | grep -qx 'kovaltherm_up 1' && [ -s "$work/idle.prom" ]; }
for i in $(seq 300); do up && break; sleep 0.1; done
up || { echo "service_bench: the service or the idle program gave no reading"; exit 1; }
# Each by its command line, which names this run's folder (as Wine writes it).
pid_of() { pgrep -f -- "$1" | while read -r p; do grep -qF "$(winpath "$work")" "/proc/$p/cmdline" 2>/dev/null && echo "$p"; done | head -n1; }
s=$(pid_of "--service --watch")
i=$(pid_of "--watch 86400 --output")
[ -n "$s" ] && [ -n "$i" ] || { echo "service_bench: cannot find the service's or the idle program's process"; exit 1; }
d=$(driver_host "$s") w=$(wineserver_of "$s")

declare -A before
for p in $s $i $d $w; do before[$p]=$(ticks "$p"); done
first=$(reading)
echo "service_bench: measuring for $seconds s (service pid $s, idle pid $i, driver host pid ${d:-none}," \
    "wineserver pid ${w:-none})"
scrapes=0
end=$((SECONDS + seconds))
while [ $SECONDS -lt $end ]; do
    curl -sf -o /dev/null "http://127.0.0.1:$port/metrics" && scrapes=$((scrapes + 1))
    left=$((end - SECONDS))
    sleep $((left < 15 ? (left > 0 ? left : 0) : 15))
done
readings=$(($(reading) - first))
figures() { cpu $(($(ticks "$1") - ${before[$1]})); }
{
    echo "{"
    echo "  \"interval_seconds\": 30, \"measured_seconds\": $seconds, \"readings\": $readings, \"scrapes\": $scrapes,"
    used=$(($(ticks "$s") - ${before[$s]}))
    echo "  \"service\": {$(cpu "$used"), $(memory "$s"),"
    echo "              \"cpu_ms_per_reading\": $(awk -v n="$used" -v r="$readings" 'BEGIN { printf "%.1f", r ? n / 1e6 / r : 0 }')},"
    echo "  \"idle_ktsensors\": {$(figures "$i"), $(memory "$i")},"
    [ -n "$d" ] && echo "  \"driver_host\": {$(figures "$d")},"
    [ -n "$w" ] && echo "  \"wineserver\": {$(figures "$w")},"
    echo "  \"targets\": {\"cpu_seconds_per_hour\": 2}"
    echo "}"
} >"$out"
cat "$out"
