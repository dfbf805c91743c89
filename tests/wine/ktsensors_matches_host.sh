#!/usr/bin/env bash
# ktsensors.exe under Wine, on the stand-in driver, prints the same table as the host tool on
# the simulated notebook for the same scenario, each starting from an empty cache.
# Usage: ktsensors_matches_host.sh SOURCE_DIR WIN32_BUILD_DIR
set -u
src=$1
build=$2
host_tool=$src/build/host/ktsensors
scenario=$src/tests/tool/scenarios/known.json
[ -x "$host_tool" ] || { echo "FAIL: $host_tool is not built (make build-host)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

KOVALTHERM_CLOCK=virtual "$host_tool" --registry "$work/registry.db" --scenario "$scenario" \
    >"$work/host.txt" 2>&1
host_status=$?

"$src/scripts/wine" run reg delete 'HKLM\SOFTWARE\Norvane\QuenlarFeatures\Thermal' /reg:32 /f >/dev/null
windows_scenario="Z:$(sed 's|/|\\|g' <<<"$scenario")"
"$src/scripts/wine" run "$build/ktsensors.exe" --scenario "$windows_scenario" >"$work/wine.txt" 2>&1
wine_status=$?

echo "host ($host_status):"; cat "$work/host.txt"
echo "wine ($wine_status):"; cat "$work/wine.txt"
if [ $host_status -eq 0 ] && [ $wine_status -eq 0 ] && diff -u "$work/host.txt" "$work/wine.txt"; then
    echo "1 passed, 0 failed"
    exit 0
fi
echo "0 passed, 1 failed"
exit 1
