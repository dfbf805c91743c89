#!/bin/sh
# Runs a documented command as written where it names the machine's own paths or ports: in a
# mount namespace of its own (and with --net a network namespace with only the loopback), so
# that what it writes there, and what the test puts there for it, stays in the namespace.
#   --tmpfs DIR       an empty DIR (when DIR exists)
#   --bind SRC DST    SRC seen at DST; where DST does not exist, its parent folder is emptied
#                     first (a tmpfs) and DST made in it
#   --net             its own loopback: ports are free, nothing outside is reached
# Usage: sandbox.sh [--net] [--tmpfs DIR]... [--bind SRC DST]... -- COMMAND [ARGS...]
set -eu
if [ "${KOVALTHERM_IN_SANDBOX:-}" != 1 ]; then
    net=
    for arg in "$@"; do [ "$arg" = --net ] && net=--net; [ "$arg" = -- ] && break; done
    root=
    [ "$(id -u)" = 0 ] || root=--map-root-user
    KOVALTHERM_IN_SANDBOX=1 exec unshare --mount $net $root "$0" "$@"
fi
unset KOVALTHERM_IN_SANDBOX
while [ $# -gt 0 ]; do
    case $1 in
    --net) ip link set lo up ;;
    --tmpfs) [ ! -d "$2" ] || mount -t tmpfs tmpfs "$2"; shift ;;
    --bind)
        if [ ! -e "$3" ]; then
            mount -t tmpfs tmpfs "$(dirname "$3")"
            if [ -d "$2" ]; then mkdir "$3"; else : >"$3"; fi
        fi
        mount --bind "$2" "$3"
        shift 2 ;;
    --) shift; break ;;
    *) echo "sandbox: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
exec "$@"
