#!/usr/bin/env bash
# Checks the Grafana dashboard: every panel and query on the data-source variable, the
# instance and data-source variables there, and every PromQL expression in it valid: each
# becomes a recording rule (Grafana's variables replaced by sample values) that
# `promtool check rules` reads, and promtool's unit tests of those rules
# (kovaltherm.dashboard.test.yml beside the dashboard) check the sensors' names and the owner's
# state they give.
# Usage: check_dashboard.sh DASHBOARD.json
set -u
dashboard=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
check() { # check DESCRIPTION COMMAND...
    if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; failed=1; fi
}

check "schemaVersion 39" test "$(jq '.schemaVersion' "$dashboard")" = 39
check "variables: datasource (prometheus) and instance" test \
    "$(jq -c '[.templating.list[] | {name, type}]' "$dashboard")" = \
    '[{"name":"datasource","type":"datasource"},{"name":"instance","type":"query"}]'
# Panels inside collapsed rows sit in the row's own "panels".
jq '[.panels[], .panels[].panels[]?] | map(select(.type != "row"))' "$dashboard" >"$work/panels.json"
check "every panel and query reads \${datasource}" test "$(jq '[.[] | .datasource.uid, .targets[].datasource.uid]
    | unique' "$work/panels.json" -c)" = '["${datasource}"]'
check "panel ids are unique" test "$(jq '[.[].id] | length == (unique | length)' "$work/panels.json")" = true

# Each expression, with $instance, ${instance} and Grafana's intervals given values, as a
# recording rule; the instance variable's label_values(METRIC, LABEL) as METRIC.
jq --slurpfile d "$dashboard" '
    def concrete: gsub("\\$__(rate_interval|interval|range)"; "5m") | gsub("\\$\\{?instance\\}?"; "nb1");
    [.[] | .id as $id | .targets[] | {record: "dashboard:panel_\($id)_\(.refId)", expr: (.expr | concrete)}]
    + [$d[0].templating.list[] | select(.type == "query")
       | {record: "dashboard:variable_\(.name)", expr: (.query.query | sub("^label_values\\((?<m>[^,]+),.*"; "\(.m)"))}]
    | {groups: [{name: "dashboard", rules: .}]}' "$work/panels.json" >"$work/rules.yml"
echo "$(jq '.groups[0].rules | length' "$work/rules.yml") expressions"
check "promtool check rules on every expression" promtool check rules "$work/rules.yml"
cp "$(dirname "$dashboard")/kovaltherm.dashboard.test.yml" "$work/"
check "promtool test rules: names by label or location, the owner's state" \
    promtool test rules "$work/kovaltherm.dashboard.test.yml"
exit $failed
