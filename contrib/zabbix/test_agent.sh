#!/usr/bin/env bash
# Zabbix's agent runs the UserParameter file, in its own test of a key (zabbix_agentd -t), with
# the built host tool in place of the installed one and a scenario given: discovery lists each
# sensor with its location and label (the sensor configuration's, else "location N"), and each
# item the template takes from the reading, through its JSONPath, has the scenario's value, or
# is unsupported where the call fails (the owner's state: no value without the owner's limits).
# Usage: test_agent.sh SOURCE_DIR KTSENSORS
set -u
src=$1 tool=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KOVALTHERM_CLOCK=virtual
failed=0

# The value the agent returns for key $2 on scenario $1 (and ktsensors' options in $options),
# without the agent's decoration.
options=
agent() {
    local name
    name=$(basename "$1" .json)
    sed "s|/usr/local/bin/ktsensors --registry [^ ]*|'$tool' --registry '$work/$name.db' --scenario '$1'$options|" \
        "$src/contrib/zabbix/kovaltherm.conf" >"$work/$name.conf"
    printf '%s\n' LogType=console AllowRoot=1 "PidFile=$work/agentd.pid" Timeout=30 \
        "Include=$work/$name.conf" >"$work/agentd.conf"
    zabbix_agentd -c "$work/agentd.conf" -t "$2" | sed -n 's/^[^[]*\[t|\(.*\)\]$/\1/p'
}

# Each scenario: the discovery it gives, then each dependent item and its value.
expect() {
    local scenario=$1 discovery=$2 got
    got=$(agent "$scenario" kovaltherm.discovery)
    [ "$got" = "$discovery" ] || { echo "FAIL: $(basename "$scenario"): discovery gave '$got'"; failed=1; }
    agent "$scenario" kovaltherm.reading |
        /usr/bin/python3 "$src/contrib/zabbix/check_template.py" --items "$src/contrib/zabbix/template_kovaltherm.yaml" \
            "$got" >"$work/items.txt"
    if diff -u /dev/stdin "$work/items.txt"; then echo "ok: $(basename "$scenario")"; else failed=1; fi
}

# examples/steady.json: physical sensors 0, 1 and 3, at locations 2, 4 and 1.
expect "$src/examples/steady.json" \
    '[{"{#SENSOR}":"0","{#LOCATION}":"2","{#LABEL}":"location 2"},{"{#SENSOR}":"1","{#LOCATION}":"4","{#LABEL}":"location 4"},{"{#SENSOR}":"2","{#LOCATION}":"1","{#LABEL}":"location 1"}]' <<'END'
kovaltherm.up 1
kovaltherm.temperature[0] 52
kovaltherm.temperature[1] 41
kovaltherm.temperature[2] 47
kovaltherm.warning[0] 90
kovaltherm.warning[1] 65
kovaltherm.warning[2] 75
kovaltherm.critical[0] 98
kovaltherm.critical[1] 75
kovaltherm.critical[2] 90
kovaltherm.status[0] 1
kovaltherm.status[1] 1
kovaltherm.status[2] 1
kovaltherm.owner_state[0] no value
kovaltherm.owner_state[1] no value
kovaltherm.owner_state[2] no value
kovaltherm.failed[0] 0
kovaltherm.failed[1] 0
kovaltherm.failed[2] 0
END
# A controller that never answers: no temperatures, so no status; the limits are read.
expect "$src/examples/stuck-controller.json" \
    '[{"{#SENSOR}":"0","{#LOCATION}":"2","{#LABEL}":"location 2"},{"{#SENSOR}":"1","{#LOCATION}":"5","{#LABEL}":"location 5"}]' <<'END'
kovaltherm.up 1
kovaltherm.temperature[0] unsupported: LMReadTemperature failed
kovaltherm.temperature[1] unsupported: LMReadTemperature failed
kovaltherm.warning[0] 90
kovaltherm.warning[1] 65
kovaltherm.critical[0] 98
kovaltherm.critical[1] 75
kovaltherm.status[0] 0
kovaltherm.status[1] 0
kovaltherm.owner_state[0] no value
kovaltherm.owner_state[1] no value
kovaltherm.failed[0] 1
kovaltherm.failed[1] 1
END
# No thermal support: the discovery rule gets no list (and keeps what it found before).
expect "$src/tests/tool/scenarios/unsupported.json" '' <<'END'
kovaltherm.up 0
END
# Held in critical from the first reading.
expect "$src/examples/critical.json" \
    '[{"{#SENSOR}":"0","{#LOCATION}":"2","{#LABEL}":"location 2"},{"{#SENSOR}":"1","{#LOCATION}":"1","{#LABEL}":"location 1"}]' <<'END'
kovaltherm.up 1
kovaltherm.temperature[0] 97
kovaltherm.temperature[1] 47
kovaltherm.warning[0] 90
kovaltherm.warning[1] 75
kovaltherm.critical[0] 98
kovaltherm.critical[1] 90
kovaltherm.status[0] 3
kovaltherm.status[1] 1
kovaltherm.owner_state[0] no value
kovaltherm.owner_state[1] no value
kovaltherm.failed[0] 0
kovaltherm.failed[1] 0
END
# examples/sensors.conf: location 2 labelled CPU, location 1 ignored (no sensor 2), location 4
# labelled Chipset and in its owner's warning at 41 (35 and 45), whatever the library says.
options=" --config '$src/examples/sensors.conf'"
expect "$src/examples/steady.json" \
    '[{"{#SENSOR}":"0","{#LOCATION}":"2","{#LABEL}":"CPU"},{"{#SENSOR}":"1","{#LOCATION}":"4","{#LABEL}":"Chipset"}]' <<'END'
kovaltherm.up 1
kovaltherm.temperature[0] 52
kovaltherm.temperature[1] 41
kovaltherm.warning[0] 90
kovaltherm.warning[1] 65
kovaltherm.critical[0] 98
kovaltherm.critical[1] 75
kovaltherm.status[0] 1
kovaltherm.status[1] 1
kovaltherm.owner_state[0] no value
kovaltherm.owner_state[1] 2
kovaltherm.failed[0] 0
kovaltherm.failed[1] 0
END
exit $failed
