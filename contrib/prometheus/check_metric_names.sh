#!/usr/bin/env bash
# Every kovaltherm_ metric that the rules and the dashboard name is one that ktsensors writes:
# a misspelt name would make an alert that never fires.
# Usage: check_metric_names.sh KTSENSORS SCENARIO FILE...
set -u
tool=$1 scenario=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
KOVALTHERM_CLOCK=virtual "$tool" --registry "$work/registry.db" --scenario "$scenario" --format prometheus |
    sed -n 's/^# TYPE \(kovaltherm_[a-z_]*\) .*/\1/p' | sort -u >"$work/written"
# Recorded series (instance:kovaltherm_...:max) are the rules' own.
grep -oh '[a-z_:]*kovaltherm_[a-z_]*[a-z_:]*' "$@" | grep -v ':' | sort -u >"$work/named"
unknown=$(comm -23 "$work/named" "$work/written")
echo "$(wc -l <"$work/named") metric names used, $(wc -l <"$work/written") written"
[ -z "$unknown" ] || { echo "FAIL: not written by ktsensors: $unknown"; exit 1; }
echo "ok: every metric name used is written by ktsensors"
