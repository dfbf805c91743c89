#!/usr/bin/env bash
# ktsensors --check as a monitoring plugin host runs it: for scenarios that give each state, and
# for a reading that does not finish within the timeout, the line and the exit code, the line
# under NRPE's 1 KB, and its performance data read by the monitoring plugins' own parser
# (Monitoring::Plugin::Performance, Debian's libmonitoring-plugin-perl). With a Windows build
# directory, ktsensors.exe runs under Wine on the stand-in driver instead, and must print the
# same lines.
# Usage: check_plugin_test.sh SOURCE_DIR HOST_TOOL [WINDOWS_BUILD_DIR]
set -u
src=$1
host_tool=$2
windows=${3:-}
examples=$src/examples
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
perl -MMonitoring::Plugin::Performance -e 1 2>/dev/null ||
    { echo "FAIL: Monitoring::Plugin is missing (scripts/install-deps)"; echo "0 passed, 1 failed"; exit 1; }

# One sensor at a fixed temperature, for the status carried from one run to the next.
one() {
    printf '{"sensors": [{"index": 0, "temperature": %d, "limits": {"warning_normal": 85,
        "warning_high": 90, "critical_normal": 95, "critical_high": 98}}]}\n' "$1" >"$work/one-$1.json"
    echo "$work/one-$1.json"
}

# Runs --check with the arguments on a registry: "fresh" (an empty cache), "reset:NAME" (an
# empty cache, kept as NAME) or NAME (the cache an earlier run left).
run_check() {
    local registry=$1 reset=0
    shift
    [ "$registry" = fresh ] && registry=reset:fresh-$RANDOM
    [ "${registry#reset:}" != "$registry" ] && reset=1 && registry=${registry#reset:}
    if [ -z "$windows" ]; then
        LC_ALL=C KOVALTHERM_CLOCK=${CHECK_CLOCK:-virtual} "$host_tool" --registry "$work/$registry.db" --check "$@"
        return
    fi
    local args=() arg
    for arg in "$@"; do
        [ -f "$arg" ] && arg="Z:$(sed 's|/|\\|g' <<<"$arg")"
        args+=("$arg")
    done
    [ $reset = 1 ] && args+=(--reset-cache)
    WINE_MAX_PROGRAM_STATUS=3 "$src/scripts/wine" run "$windows/ktsensors.exe" --check "${args[@]}"
}

# The performance data as the plugins' parser reads it, one "label=value;warn;crit" a line.
parsed() {
    perl -MMonitoring::Plugin::Performance -e '
        for my $p (Monitoring::Plugin::Performance->parse_perfstring($ARGV[0])) {
            my $t = $p->threshold;
            printf "%s=%s;%s;%s\n", $p->label, $p->value, ($t->warning->is_set ? $t->warning : ""),
                ($t->critical->is_set ? $t->critical : "");
        }' "$1"
}

# Checks one run: exit code, line (exact, or a prefix when `expected` ends in "*"), size and
# performance data.
case_() {
    local what=$1 code=$2 expected=$3 registry=$4
    shift 4
    local out status problems=""
    out=$(run_check "$registry" "$@" 2>"$work/err")
    status=$?
    [ "$status" = "$code" ] || problems="$problems exit $status, expected $code;"
    if [ "${expected: -1}" = "*" ]; then
        [[ $out == "${expected%\*}"* ]] || problems="$problems line differs;"
    else
        [ "$out" = "$expected" ] || problems="$problems line differs, expected: $expected;"
    fi
    [ "$(wc -l <<<"$out")" = 1 ] && [ "$(printf '%s\n' "$out" | wc -c)" -lt 1024 ] ||
        problems="$problems not one line under 1 KB;"
    [ -s "$work/err" ] && problems="$problems stderr: $(head -c 200 "$work/err");"
    if [[ $out == *" | "* ]]; then
        # Each item as written, quotes and the trailing minimum dropped: what the parser must see.
        local written
        written=$(tr ' ' '\n' <<<"${out#* | }" | sed "s/'//g; s/;0;\$//")
        [ "$(parsed "${out#* | }")" = "$written" ] ||
            problems="$problems the parser read: $(parsed "${out#* | }" | tr '\n' ' ');"
    fi
    if [ -z "$problems" ]; then
        echo "ok: $what: exit $status: $out"
        passed=$((passed + 1))
    else
        echo "FAIL: $what:$problems got: $out"
        failed=$((failed + 1))
    fi
}

steady=$examples/steady.json
case_ "steady, the library's status" 0 "KOVALTHERM OK - sensor 0 (location 2) 52 C normal, sensor 1 (location 4) 41 C normal, sensor 2 (location 1) 47 C normal | 'sensor0'=52;90;98;0; 'sensor1'=41;65;75;0; 'sensor2'=47;75;90;0;" \
    fresh --scenario "$steady"
case_ "steady, ranges" 2 "KOVALTHERM CRITICAL - sensor 0 (location 2) 52 C critical, sensor 2 (location 1) 47 C warning | 'sensor0'=52;45;50;0; 'sensor1'=41;45;50;0; 'sensor2'=47;45;50;0;" \
    fresh --scenario "$steady" --warning 45 --critical 50
case_ "steady, a range for inside" 1 "KOVALTHERM WARNING - sensor 1 (location 4) 41 C warning | 'sensor0'=52;;~:60;0; 'sensor1'=41;;~:60;0; 'sensor2'=47;;~:60;0;" \
    fresh --scenario "$steady" -w @40:45 -c '~:60'
# From the state of a new cache a reading above the warning limit less 2 is critical.
case_ "known: critical from a new cache" 2 "KOVALTHERM CRITICAL - sensor 1 (location 4) 70 C critical | 'sensor0'=52;90;98;0; 'sensor1'=70;65;75;0; 'sensor2'=47;75;90;0;" \
    fresh --scenario "$src/tests/tool/scenarios/known.json"
# From normal, a reading above warning less 2 (88) and below critical less 1 (97) warns.
case_ "one sensor at 50" 0 "KOVALTHERM OK - sensor 0 (location 2) 50 C normal | 'sensor0'=50;90;98;0;" \
    reset:warm --scenario "$(one 50)"
case_ "then at 89: warning" 1 "KOVALTHERM WARNING - sensor 0 (location 2) 89 C warning | 'sensor0'=89;90;98;0;" \
    warm --scenario "$(one 89)"
# Its reading takes about 14 s on a real clock (under Wine), longer than the default timeout.
case_ "stuck controller" 3 "KOVALTHERM UNKNOWN - sensor 0 (location 2) no temperature, sensor 1 (location 5) no temperature" \
    fresh --scenario "$examples/stuck-controller.json" --timeout 30
case_ "firmware faults: no status" 3 "KOVALTHERM UNKNOWN - sensor 2 (location 5) 39 C no status | 'sensor0'=61;90;98;0; 'sensor1'=44;65;75;0; 'sensor2'=39;;;0;" \
    fresh --scenario "$examples/firmware-faults.json"
case_ "firmware faults, sensor 2 ignored" 0 "KOVALTHERM OK - sensor 0 (location 2) 61 C normal, sensor 1 (location 4) 44 C normal | 'sensor0'=61;90;98;0; 'sensor1'=44;65;75;0; 'sensor2'=39;;;0;" \
    fresh --scenario "$examples/firmware-faults.json" --ignore 2
# examples/sensors.conf: labels in the text and as the perfdata's labels, the owner's limits
# where set (the chipset in its owner's warning at 41), or the library's alone; a refused file
# is UNKNOWN, saying why, whatever the sensors say.
conf=$examples/sensors.conf
case_ "steady, the owner's limits" 1 "KOVALTHERM WARNING - sensor 1 (location 4, Chipset) 41 C warning by the owner's limits | 'CPU'=52;90;98;0; 'Chipset'=41;35;45;0;" \
    fresh --scenario "$steady" --config "$conf"
case_ "steady, the firmware's limits" 0 "KOVALTHERM OK - sensor 0 (location 2, CPU) 52 C normal, sensor 1 (location 4, Chipset) 41 C normal | 'CPU'=52;90;98;0; 'Chipset'=41;65;75;0;" \
    fresh --scenario "$steady" --config "$conf" --limits firmware
printf '[location 2]\nlabel = CPU\nwarning = 40\nwarning = 45\n' >"$work/twice.conf"
case_ "a refused sensor configuration" 3 "KOVALTHERM UNKNOWN - sensor 0 (location 2) 52 C normal, sensor 1 (location 4) 41 C normal, sensor 2 (location 1) 47 C normal; *" \
    fresh --scenario "$steady" --config "$work/twice.conf"
case_ "heat cycle at its start" 0 "KOVALTHERM OK - sensor 0 (location 2) *" fresh --scenario "$examples/heat-cycle.json"
# A check that cannot finish (the controller never answers, on the real clock) answers UNKNOWN at
# its timeout, by default before NRPE's 10 s; the call it abandons leaves the library's lock
# abandoned, which the next check on the same machine takes at once.
timed_case() {
    local bound_ms=$1 start_ns took_ms
    shift
    start_ns=$(date +%s%N)
    CHECK_CLOCK=real case_ "$@"
    took_ms=$((($(date +%s%N) - start_ns) / 1000000))
    if [ $took_ms -le "$bound_ms" ]; then
        echo "ok: $1: answered in $took_ms ms"
        passed=$((passed + 1))
    else
        echo "FAIL: $1: answered in $took_ms ms, more than $bound_ms ms"
        failed=$((failed + 1))
    fi
}
stuck=$examples/stuck-controller.json
timed_case 4000 "stuck controller, a 2 s timeout" 3 "KOVALTHERM UNKNOWN - no answer within 2 s" reset:stuck \
    --scenario "$stuck" --timeout 2
timed_case 4000 "then the next check at once" 0 "KOVALTHERM OK - sensor 0 (location 2) 50 C normal | 'sensor0'=50;90;98;0;" \
    stuck --reset-cache --scenario "$(one 50)" -t 3
[ -z "$windows" ] && timed_case 9900 "stuck controller, the default timeout" 3 \
    "KOVALTHERM UNKNOWN - no answer within 8 s" fresh --scenario "$stuck"
case_ "a usage error is UNKNOWN" 3 "KOVALTHERM UNKNOWN - --warning: expected a range such as 80, 10:90, ~:80, 90: or @70:80, got 'x'" \
    fresh --warning x
case_ "a timeout of no seconds is a usage error" 3 "KOVALTHERM UNKNOWN - --timeout: expected whole seconds from 1 to 3600, got '0'" \
    fresh -t 0

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
