#!/bin/sh
# libkovaltherm.so and ktsensors in a privileged process (set-group-ID, so that the kernel sets
# AT_SECURE) ignore the variables whoever started them chose: they create no registry file
# where KOVALTHERM_REGISTRY or HOME points and read no file KOVALTHERM_SCENARIO names. And no
# process quotes anything of a file that is not a scenario.
# Usage: privileged_test.sh SOURCE_DIR LIBRARY_DIR KTSENSORS WORK_DIR
set -u
src=$1 lib=$2 tool=$3 work=$4
[ "$(id -u)" -eq 0 ] || { echo "skipped: making a set-group-ID program needs root"; exit 77; }
rm -rf "$work" && mkdir -p "$work/home" || exit 1
findmnt -n -T "$work" -o OPTIONS | grep -qw nosuid && { echo "skipped: $work is on a nosuid file system"; exit 77; }
printf '#include <stdio.h>\n#include "kovaltherm.h"\nint main(void) { printf("%%d sensors\\n", LMGetNumSensors()); return 0; }\n' \
    >"$work/count.c"
cc -I"$src/include" "$work/count.c" -L"$lib" -lkovaltherm -Wl,-rpath,"$lib" -o "$work/count" || exit 1
cp "$work/count" "$work/count-setgid" && cp "$tool" "$work/ktsensors-setgid" &&
    chgrp nogroup "$work/count-setgid" "$work/ktsensors-setgid" && chmod g+s "$work/count-setgid" "$work/ktsensors-setgid" ||
    exit 1
printf '{"db_password": "hunter2"}' >"$work/secret.json"
printf 'hunter2' >"$work/secret.txt"
failed=0
# case: program in the work folder | scenario file | exit code | standard output | standard error
# (no file is created at KOVALTHERM_REGISTRY or under HOME in any case)
check() {
    rm -f "$work/evil.db" && rm -rf "$work/home/.local"
    out=$(cd "$work" && env -i HOME="$work/home" KOVALTHERM_REGISTRY="$work/evil.db" KOVALTHERM_SCENARIO="$2" \
        KOVALTHERM_CLOCK=virtual "$work/$1" 2>"$work/err")
    code=$?
    err=$(cat "$work/err")
    created=$(cd "$work" && ls -d evil.db home/.local 2>/dev/null)
    if [ "$code $out|$err|$created" = "$3 $4|$5|" ]; then
        echo "ok: $*"
    else
        echo "FAIL: $*: got exit $code, '$out', '$err', created '$created'"
        failed=1
    fi
}
privileged_registry="no registry file: a privileged process (set-user-ID or set-group-ID) ignores KOVALTHERM_REGISTRY, XDG_STATE_HOME and HOME"
check count-setgid "$work/secret.json" 0 "0 sensors" "libkovaltherm: $privileged_registry"
check ktsensors-setgid "$work/secret.json" 1 "" "ktsensors: $privileged_registry"
check count "$work/secret.json" 0 "0 sensors" "libkovaltherm: scenario $work/secret.json: not a scenario: a field at its top level other than description, sensors, firmware, controller and driver"
check count "$work/secret.txt" 0 "0 sensors" "libkovaltherm: scenario $work/secret.txt: not valid JSON: parse error at line 1, column 1: syntax error while parsing value - invalid literal"
exit $failed
