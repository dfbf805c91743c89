#!/bin/bash
# The bash completion loads, and completes options, formats and file names.
# Usage: test_completion.sh ktsensors.bash path/to/ktsensors
set -u
completion=$1 binary=$2
failed=0
# shellcheck source=/dev/null
source "$completion" || { echo "the completion does not load"; exit 1; }
complete -p ktsensors >/dev/null || { echo "no completion registered for ktsensors"; exit 1; }

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
touch "$folder/a.json" "$folder/b.svg" "$folder/c.txt"

# Completes the words after the binary; prints the sorted candidates on one line.
candidates() {
    COMP_WORDS=("$binary" "$@")
    COMP_CWORD=$#
    _ktsensors
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

expect() {
    local want=$1; shift
    local got
    got=$(candidates "$@")
    if [ "$got" != "$want" ]; then
        echo "completing '$*': expected '$want', got '$got'"
        failed=1
    fi
}

expect "--format" --fo
expect "--registry --reset-cache" --re
expect "--scenario" --sc
expect "json prometheus sensors-json text zabbix zabbix-discovery" --format ""
expect "prometheus" --format pro
expect "$folder/a.json" --scenario "$folder/"
expect "$folder/b.svg" --plot "$folder/"
expect "$folder/a.json $folder/b.svg $folder/c.txt" --output "$folder/"
expect "$folder/a.json $folder/b.svg $folder/c.txt" --config "$folder/"
expect "firmware owner" --limits ""
expect "" --watch ""
expect "" --listen ""
expect "" --timeout ""
all=$(candidates --)
for option in --format --json --output --watch --count --registry --scenario --reset-cache \
              --dump-registry --plot --listen --max-age --timeout --limits --config --help --version; do
    case " $all " in
        *" $option "*) ;;
        *) echo "'--' does not offer $option: $all"; failed=1 ;;
    esac
done
[ $failed -eq 0 ] && echo "completion: options, formats and file names complete"
exit $failed
