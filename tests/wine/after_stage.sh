#!/bin/sh
# Runs COMMAND once the make-test stage STAGE has passed, when make test's lanes run it
# (KOVALTHERM_STAGE_LOGS names their folder): the x64 suite starts before the x86 build is
# done, and its few tests of the x86 build wait for it here. Alone, it runs COMMAND at once.
# Usage: after_stage.sh STAGE COMMAND [ARGS...]
set -eu
stage=$1
shift
if [ -n "${KOVALTHERM_STAGE_LOGS:-}" ]; then
    waited=0
    until [ -f "$KOVALTHERM_STAGE_LOGS/$stage.status" ]; do
        if [ $waited -ge 1200 ]; then
            echo "after_stage: $stage did not end within 1200 s" >&2
            exit 1
        fi
        sleep 1
        waited=$((waited + 1))
    done
    status=$(cat "$KOVALTHERM_STAGE_LOGS/$stage.status")
    if [ "$status" != passed ]; then
        echo "after_stage: $stage $status" >&2
        exit 1
    fi
fi
exec "$@"
