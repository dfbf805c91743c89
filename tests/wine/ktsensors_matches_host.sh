#!/usr/bin/env bash
# ktsensors.exe under Wine, on the stand-in driver, prints the same table as the host tool on
# the simulated notebook for the same scenario, each starting from an empty cache (removed on
# Windows by --reset-cache).
# Usage: ktsensors_matches_host.sh SOURCE_DIR WIN32_BUILD_DIR
set -u
src=$1
build=$2
host_tool=$src/build/host/ktsensors
scenario=$src/tests/tool/scenarios/known.json
[ -x "$host_tool" ] || { echo "FAIL: $host_tool is not built (make build-host)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The C locale: the host tool writes "C" for degrees, as the Windows build always does.
LC_ALL=C KOVALTHERM_CLOCK=virtual "$host_tool" --registry "$work/registry.db" --scenario "$scenario" \
    >"$work/host.txt" 2>&1
host_status=$?

windows_scenario="Z:$(sed 's|/|\\|g' <<<"$scenario")"
"$src/scripts/wine" run "$build/ktsensors.exe" --reset-cache --scenario "$windows_scenario" >"$work/wine.txt" 2>&1
wine_status=$?

# The scenario's clock starts with the tool: heat-cycle's processor is at 55 C at time 0 and
# rises 4 degrees a second, so the first reading, within about a second and a half, shows 55
# to 61 (with the driver's uptime as the origin it was anywhere on the minute-long cycle).
heat="Z:$(sed 's|/|\\|g' <<<"$src/examples/heat-cycle.json")"
"$src/scripts/wine" run "$build/ktsensors.exe" --reset-cache --scenario "$heat" >"$work/heat.txt" 2>&1
heat_status=$?
start=$(sed -n 's/^sensor 0 (location 2): *+\([0-9]*\)\.0 C.*/\1/p' "$work/heat.txt")
# Only the options that work on Windows are offered.
"$src/scripts/wine" run "$build/ktsensors.exe" --help >"$work/help.txt" 2>&1
help_status=$?

echo "host ($host_status):"; cat "$work/host.txt"
echo "wine ($wine_status):"; cat "$work/wine.txt"
echo "heat-cycle at the start ($heat_status): ${start:-none} C"
echo "help ($help_status): $(grep -c -- '^  --' "$work/help.txt") options"
if [ $heat_status -ne 0 ] || [ -z "$start" ] || [ "$start" -lt 55 ] || [ "$start" -gt 61 ]; then
    echo "the scenario's clock did not start with the tool:"; cat "$work/heat.txt"
    echo "0 passed, 1 failed"
    exit 1
fi
if [ $help_status -ne 0 ] || grep -q -- '--registry' "$work/help.txt"; then
    echo "--help offers --registry, which Windows refuses:"; cat "$work/help.txt"
    echo "0 passed, 1 failed"
    exit 1
fi
if [ $host_status -eq 0 ] && [ $wine_status -eq 0 ] && diff -u "$work/host.txt" "$work/wine.txt"; then
    echo "1 passed, 0 failed"
    exit 0
fi
echo "0 passed, 1 failed"
exit 1
