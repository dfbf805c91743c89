#!/usr/bin/env bash
# Real clients of ktsensors' Prometheus output: promtool checks the format of every scenario,
# Debian's prometheus scrapes `ktsensors --listen` and Debian's node_exporter reads a file
# written by `ktsensors --output`, all on 127.0.0.1 on ports chosen here. The values read back
# through Prometheus' HTTP API are those `ktsensors --json` gives for the same scenario; on the
# host both apply examples/sensors.conf, so that the owner's labels and thresholds go through
# node_exporter and Prometheus as well.
# With `wine BUILD_DIR`, Prometheus scrapes ktsensors.exe --listen under Wine instead (on the
# stand-in driver, set up by the Wine fixtures); then ktsensors.exe gets a POST (405), and a
# second one is stopped while a scrape waits for a stuck reading (503). With `service
# BUILD_DIR`, Prometheus scrapes the Windows service installed with --listen at its default
# interval: scrapes make no request to the driver, and the uninstall stops the server. Every
# server is stopped by its process id.
# Usage: prometheus_clients.sh SOURCE_DIR KTSENSORS [wine|service BUILD_DIR]
set -u
src=$1 tool=$2 mode=${3:-host} build=${4:-}
scenario=$src/tests/tool/scenarios/known.json
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
winpath() { "$src/scripts/wine" winpath "$1"; }
failures=0 checks=0
check() { # check DESCRIPTION COMMAND...
    checks=$((checks + 1))
    "${@:2}" || { echo "FAIL: $1"; failures=$((failures + 1)); }
}
finish() {
    echo "$((checks - failures)) passed, $failures failed"
    exit $((failures > 0))
}
export KOVALTHERM_CLOCK=virtual LC_ALL=C

# A port no socket listens on; the server started on it fails if another took it meanwhile.
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        awk -v p="$(printf ':%04X' "$port")" '$4 == "0A" && $2 ~ p"$" {found=1} END {exit !found}' \
            /proc/net/tcp /proc/net/tcp6 || { echo "$port"; return; }
    done
}
# Waits up to $2 seconds for the command after it to succeed.
wait_for() {
    local limit=$1 i
    shift
    for ((i = 0; i < limit * 5; ++i)); do "$@" && return 0; sleep 0.2; done
    return 1
}

# The host tool reads examples/sensors.conf; the Windows programs have no configuration.
config=()
[ "$mode" = host ] && config=(--config "$src/examples/sensors.conf")
# The scenario's values as --json gives them: "sensor location label family value" lines.
"$tool" --registry "$work/json.db" --scenario "$scenario" "${config[@]}" --json >"$work/reading.json" || exit 1
jq -r '.sensors[] | "\(.ordinal) \(.location) \(.label // "-")" as $s |
    "\($s) temperature_celsius \(.temperature)", "\($s) warning_limit_celsius \(.warning_limit)",
    "\($s) critical_limit_celsius \(.critical_limit)", "\($s) status \(.status_code)",
    (.owner_warning // empty | "\($s) owner_warning_celsius \(.)"),
    (.owner_critical // empty | "\($s) owner_critical_celsius \(.)")' "$work/reading.json" | sort >"$work/expected.txt"

if [ "$mode" = host ]; then
    # promtool on the Prometheus format of every scenario.
    for file in "$src"/examples/*.json "$src"/tests/tool/scenarios/*.json; do
        "$tool" --registry "$work/$(basename "$file").db" --scenario "$file" --format prometheus >"$work/page.prom"
        check "promtool check metrics: $(basename "$file")" promtool check metrics <"$work/page.prom"
    done
    "$tool" --registry "$work/configured.db" --scenario "$scenario" "${config[@]}" --format prometheus >"$work/page.prom"
    check "promtool check metrics: with examples/sensors.conf" promtool check metrics <"$work/page.prom"
    "$tool" --registry "$work/listen.db" --scenario "$scenario" "${config[@]}" --listen 127.0.0.1:0 2>"$work/server.txt" &
    pids+=($!)
    wait_for 20 grep -q 'serving http://' "$work/server.txt" || { cat "$work/server.txt"; exit 1; }
    target=$(sed -n 's|.*serving http://\([0-9.:]*\)/metrics.*|\1|p' "$work/server.txt")
    # node_exporter reads the textfile written by --output.
    mkdir "$work/textfile"
    "$tool" --registry "$work/textfile.db" --scenario "$scenario" "${config[@]}" --format prometheus \
        --output "$work/textfile/kovaltherm.prom" || exit 1
    node=127.0.0.1:$(free_port)
    prometheus-node-exporter --web.listen-address="$node" --collector.disable-defaults --collector.textfile \
        --collector.textfile.directory="$work/textfile" >"$work/node.txt" 2>&1 &
    pids+=($!)
    jobs="ktsensors=$target node=$node"
elif [ "$mode" = service ]; then
    # The service runs and writes only where standard users cannot change a folder: the
    # program and its DLL are copied to one on the prefix's drive C:, and it writes there.
    textfile=$("$src/scripts/wine" folder)
    cp "$build/ktsensors.exe" "$build/Kovaltherm.dll" "$textfile/"
    service_exe=$textfile/ktsensors.exe
    target=127.0.0.1:$(free_port)
    requests() { "$src/scripts/wine" run "$build/service_stop_probe.exe" requests | tr -d "\r"; }
    uninstall() { "$src/scripts/wine" run "$service_exe" --uninstall-service; }
    cleanup() {
        for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
        uninstall >/dev/null 2>&1
        rm -rf "$work" "$textfile"
    }
    uninstall >/dev/null 2>&1
    # From an empty sensor cache, as the host tool's reading starts.
    "$src/scripts/wine" run reg delete 'HKLM\SOFTWARE\Norvane\QuenlarFeatures\Thermal' /reg:32 /f >/dev/null 2>&1
    "$src/scripts/wine" run "$service_exe" --install-service --output "$(winpath "$textfile/kovaltherm.prom")" \
        --scenario "$(winpath "$scenario")" --listen "$target" || exit 1
    jobs="service=$target"
else
    target=127.0.0.1:$(free_port)
    windows_scenario=$(winpath "$scenario")
    pids+=("$("$src/scripts/wine" spawn "$work/server.txt" "$build/ktsensors.exe" --reset-cache \
        --scenario "$windows_scenario" --listen "$target")")
    wait_for 120 grep -q 'serving http://' "$work/server.txt" || { cat "$work/server.txt"; exit 1; }
    jobs="ktsensors.exe=$target"
fi
check "the served page passes promtool" bash -c "curl -sf http://$target/metrics | promtool check metrics"

{
    echo "global: {scrape_interval: 1s, scrape_timeout: 1s}"
    echo "scrape_configs:"
    for job in $jobs; do echo "  - {job_name: ${job%%=*}, static_configs: [{targets: ['${job#*=}']}]}"; done
} >"$work/prometheus.yml"
api=127.0.0.1:$(free_port)
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address="$api" >"$work/prometheus.txt" 2>&1 &
pids+=($!)
query() { curl -sf "http://$api/api/v1/query" --data-urlencode "query=$1"; }
series=$(($(grep -c ' temperature_celsius ' "$work/expected.txt") * $(wc -w <<<"$jobs")))
scraped() { [ "$(query 'kovaltherm_temperature_celsius' | jq '.data.result | length')" = "$series" ]; }
if ! wait_for 90 scraped; then
    echo "Prometheus has not scraped every target:"; tail -5 "$work/prometheus.txt"; query up
    exit 1
fi

echo "--json:"
sed 's/^/  /' "$work/expected.txt"
for job in $jobs; do
    job=${job%%=*}
    for family in temperature_celsius warning_limit_celsius critical_limit_celsius status owner_warning_celsius \
        owner_critical_celsius; do
        query "kovaltherm_$family{job=\"$job\"}" | jq -r --arg f "$family" \
            '.data.result[] | "\(.metric.sensor) \(.metric.location) \(.metric.label // "-") \($f) \(.value[1])"'
    done | sort >"$work/$job.txt"
    echo "Prometheus, job $job:"
    sed 's/^/  /' "$work/$job.txt"
    check "job $job holds the values of --json" diff -u "$work/expected.txt" "$work/$job.txt"
    check "job $job is up" test "$(query "up{job=\"$job\"}" | jq -r '.data.result[0].value[1]')" = 1
done
if [ "$mode" = service ]; then
    # Within one interval (30 s) the service reads once; 50 scrapes more, beside Prometheus',
    # must not reach the driver. A reading that falls into the window shows in its timestamp,
    # and the window is tried again.
    stamp() { curl -sf "http://$target/metrics" | grep '^kovaltherm_reading_timestamp_seconds'; }
    for try in 1 2 3; do
        before=$(requests) stamp_before=$(stamp)
        for i in $(seq 50); do curl -sf -o /dev/null "http://$target/metrics"; done
        after=$(requests) stamp_after=$(stamp)
        [ "$stamp_before" = "$stamp_after" ] && break
    done
    echo "/api/v1/query?query=kovaltherm_temperature_celsius: $(query kovaltherm_temperature_celsius)"
    echo "driver requests before and after 50 scrapes within one reading: $before, $after"
    check "scrapes make no request to the driver ($before, then $after)" test "$before" = "$after" -a -n "$before"
    start_ns=$(date +%s%N)
    uninstall
    uninstall_ms=$((($(date +%s%N) - start_ns) / 1000000))
    check "the uninstall stops the service within its bound (10 s): $uninstall_ms ms" test $uninstall_ms -le 10000
    check "nothing answers at $target after the uninstall" bash -c "! curl -s -m 2 http://$target/metrics >/dev/null"
elif [ "$mode" = host ]; then
    check "node_exporter read the textfile without error" \
        test "$(query 'node_textfile_scrape_error' | jq -r '.data.result[0].value[1]')" = 0
    # The server ends cleanly on SIGTERM.
    kill -TERM "${pids[0]}"
    wait "${pids[0]}"
    check "ktsensors --listen exits 0 on SIGTERM" test $? -eq 0
else
    # A method the pages do not serve gets 405 naming those they do.
    curl -s -o /dev/null -D "$work/post.txt" --data x "http://$target/metrics"
    refused() { head -1 "$1" | grep -q '^HTTP/1.1 405 ' && grep -q $'^Allow: GET, HEAD\r$' "$1"; }
    check "POST gets 405 with Allow: GET, HEAD" refused "$work/post.txt"
    # Stopped (Ctrl+C) while a scrape waits for a stuck reading: the scrape gets 503 at once.
    stuck=127.0.0.1:$(free_port)
    stuck_pid=$("$src/scripts/wine" spawn "$work/stuck.txt" "$build/ktsensors.exe" --reset-cache \
        --scenario "Z:$(sed 's|/|\\|g' <<<"$src/examples/stuck-controller.json")" --listen "$stuck")
    pids+=("$stuck_pid")
    wait_for 120 grep -q 'serving http://' "$work/stuck.txt" || { cat "$work/stuck.txt"; exit 1; }
    curl -s -o /dev/null -w '%{http_code} %{time_total}' -m 30 "http://$stuck/metrics" >"$work/stuck.code" &
    sleep 1
    kill -INT "$stuck_pid"
    wait $!
    check "a scrape waiting when it stops gets 503 within 2 s: $(cat "$work/stuck.code")" \
        awk '$1 == 503 && $2 < 3 {ok = 1} END {exit !ok}' "$work/stuck.code"
    check "it ends within 5 s" wait_for 5 bash -c "! kill -0 $stuck_pid 2>/dev/null"
fi
finish
