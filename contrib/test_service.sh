#!/bin/sh
# The service's command line, run as systemd would run it (with the folders in a temporary
# place), writes a Prometheus file and nothing else.
# Usage: test_service.sh ktsensors-prometheus.service path/to/ktsensors
set -u
unit=$1 binary=$2
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
grep -q '^OnUnitActiveSec=15s$' "$(dirname "$0")/ktsensors-prometheus.timer" || { echo "the timer is not every 15 s"; exit 1; }
line=$(sed -n 's/^ExecStart=//p' "$unit")
[ -n "$line" ] || { echo "no ExecStart in $unit"; exit 1; }
# Replace the installed binary by the built one, and systemd's variable by a temporary folder.
options=${line#* }
options=$(printf '%s' "$options" | sed "s|\${TEXTFILE_DIRECTORY}|$folder|")
# shellcheck disable=SC2086
KOVALTHERM_REGISTRY="$folder/registry.db" KOVALTHERM_CLOCK=virtual "$binary" $options >"$folder/stdout" 2>&1 ||
    { echo "the service's command failed: $(cat "$folder/stdout")"; exit 1; }
[ ! -s "$folder/stdout" ] || { echo "the service printed: $(cat "$folder/stdout")"; exit 1; }
grep -q '^kovaltherm_temperature_celsius{sensor="0",location="2"} ' "$folder/kovaltherm.prom" ||
    { echo "no temperature in the written file"; exit 1; }
# systemd's own check of both units, with the built binary in place of the installed one.
if command -v systemd-analyze >/dev/null; then
    sed "s|^ExecStart=[^ ]*|ExecStart=$binary|" "$unit" >"$folder/ktsensors-prometheus.service"
    cp "$(dirname "$0")/ktsensors-prometheus.timer" "$folder/"
    (cd "$folder" && timeout 60 systemd-analyze verify --man=no ./ktsensors-prometheus.service \
        ./ktsensors-prometheus.timer) || { echo "systemd-analyze verify refuses the units"; exit 1; }
fi
echo "service: $options writes $(wc -l <"$folder/kovaltherm.prom") lines"
