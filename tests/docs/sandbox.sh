#!/bin/sh
# Runs a documented command as written where it names the machine's own paths or ports: in a
# mount namespace of its own (and with --net a network namespace with only the loopback), so
# that what it writes there, and what the test puts there for it, stays in the namespace.
#   --keep PATH       PATH stays as it is where a later --tmpfs would hide it (the tree and the
#                     build, which a clone made under /tmp has there)
#   --tmpfs DIR       an empty DIR (when DIR exists), but for the paths kept under it
#   --bind SRC DST    SRC seen at DST; where DST does not exist, its parent folder is emptied
#                     first (a tmpfs) and DST made in it
#   --net             its own loopback: ports are free, nothing outside is reached
# Usage: sandbox.sh [--net] [--keep PATH]... [--tmpfs DIR]... [--bind SRC DST]... -- COMMAND [ARGS...]
set -eu
if [ "${KOVALTHERM_IN_SANDBOX:-}" != 1 ]; then
    net=
    for arg in "$@"; do [ "$arg" = --net ] && net=--net; [ "$arg" = -- ] && break; done
    root=
    [ "$(id -u)" = 0 ] || root=--map-root-user
    KOVALTHERM_IN_SANDBOX=1 exec unshare --mount $net $root "$0" "$@"
fi
unset KOVALTHERM_IN_SANDBOX
kept=
stage=
n=0
while [ $# -gt 0 ]; do
    case $1 in
    --net) ip link set lo up ;;
    --keep) kept="$kept $(realpath "$2")"; shift ;;
    --tmpfs)
        if [ -d "$2" ]; then
            dir=$(realpath "$2")
            # The kept paths under DIR are bound aside first (on an empty /mnt of this namespace),
            # then back in the empty DIR.
            if [ -z "$stage" ]; then stage=/mnt; mount -t tmpfs tmpfs "$stage"; fi
            first=$n
            for path in $kept; do
                case $path/ in "$dir"/*) n=$((n + 1)); mkdir "$stage/$n"; mount --bind "$path" "$stage/$n" ;; esac
            done
            mount -t tmpfs tmpfs "$dir"
            n=$first
            for path in $kept; do
                case $path/ in "$dir"/*) n=$((n + 1)); mkdir -p "$path"; mount --bind "$stage/$n" "$path" ;; esac
            done
        fi
        shift ;;
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
