#!/bin/sh
# The systemd units as installed: `cmake --install` into a temporary root, where
# systemd-analyze verifies them (with systemd's own units beside them) and rates each
# service's hardening at most 2.0; then each service's command line runs as systemd would run
# it (its directories in the temporary root): the textfile service writes a Prometheus file
# where the tmpfiles.d link points, and neither a reading with failed calls nor a stop while it
# reads fails it; the --listen service answers /metrics and ends with status 0 on SIGTERM.
# Usage: test_service.sh BUILD_DIR
set -u
build=$1
root=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill $pid 2>/dev/null; rm -rf "$root"' EXIT
failures=0 checks=0
check() { checks=$((checks + 1)); "$@" || { echo "FAIL: $*"; failures=$((failures + 1)); }; }
# Whether the list of words $1 holds the word $2.
listed() { case " $1 " in *" $2 "*) return 0 ;; esac; return 1; }
DESTDIR=$root cmake --install "$build" >/dev/null || { echo "cmake --install failed"; exit 1; }
units=$(find "$root" -path '*/lib/systemd/system' -type d)
[ -d "$units" ] || { echo "no units installed"; exit 1; }
mkdir -p "$root/usr/lib/systemd" && cp -a /usr/lib/systemd/system "$root/usr/lib/systemd/"
check grep -q '^OnUnitActiveSec=15s$' "$units/ktsensors-prometheus.timer"
check systemd-analyze verify --man=no --root="$root" "$units/ktsensors.service" \
    "$units/ktsensors-prometheus.service" "$units/ktsensors-prometheus.timer"
for unit in ktsensors.service ktsensors-prometheus.service; do
    score=$(systemd-analyze security --offline=yes --root="$root" "$units/$unit" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
    echo "systemd-analyze security $unit: ${score:-none}"
    check awk -v s="${score:-99}" 'BEGIN { exit !(s <= 2.0) }'
    check grep -q '^DynamicUser=yes$' "$units/$unit"
    check grep -q 'simulated notebook on Linux' "$units/$unit"
done

# The command line of a unit, its binary in the temporary root, %S and %t there too.
command_of() {
    sed -n 's/^ExecStart=//p' "$units/$1" | sed "s|^|$root|; s|%S|$root/var/lib|g; s|%t|$root/run|g"
}
mkdir -p "$root/var/lib/kovaltherm" "$root/run/kovaltherm-textfile"
export KOVALTHERM_REGISTRY="$root/var/lib/kovaltherm/registry.db" KOVALTHERM_CLOCK=virtual
link=$(find "$root" -path '*/lib/tmpfiles.d/kovaltherm.conf' -exec awk '$1 == "L+" {print $7}' {} +)
check test "$link" = /run/kovaltherm-textfile/kovaltherm.prom
$(command_of ktsensors-prometheus.service) >"$root/out.txt" 2>&1
check test $? -eq 0
check grep -q '^kovaltherm_temperature_celsius{sensor="0",location="2",label=""} ' "$root$link"
check test ! -s "$root/out.txt"
# A stuck controller: the calls fail, the file says so, and the status is one the unit takes.
success=$(sed -n 's/^SuccessExitStatus=//p' "$units/ktsensors-prometheus.service")
$(command_of ktsensors-prometheus.service) --reset-cache --scenario "$(dirname "$0")/../examples/stuck-controller.json" 2>/dev/null
status=$?
check grep -q '^kovaltherm_read_failed{.*call="LMReadTemperature"} 1$' "$root$link"
check listed "0 $success" "$status"
# Stopped by systemd while it reads: a status the unit takes, and the file still whole.
$(command_of ktsensors-prometheus.service) --reset-cache --watch 0.001 2>/dev/null &
pid=$!
sleep 0.5
kill -TERM $pid
wait $pid
status=$?
check test "$status" -eq 0
check grep -q '^kovaltherm_reading_timestamp_seconds ' "$root$link"

$(command_of ktsensors.service | sed 's/127\.0\.0\.1:[0-9]*/127.0.0.1:0/') --reset-cache 2>"$root/listen.txt" &
pid=$!
for _ in $(seq 50); do grep -qs serving "$root/listen.txt" && break; sleep 0.2; done
url=$(sed -n 's|.*serving \(http://[^ ]*/\)metrics.*|\1|p' "$root/listen.txt")
check sh -c "curl -sf ${url}metrics | grep -q '^kovaltherm_sensors 3$'"
kill -TERM $pid
wait $pid
check test $? -eq 0
pid=
echo "$((checks - failures)) passed, $failures failed"
[ $failures -eq 0 ]
