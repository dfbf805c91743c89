#!/usr/bin/env bash
# scripts/install-deps finds the mirror a machine's own apt sources name for a suite, in
# one-line and deb822 forms, so that bookworm-backports comes from the same mirror.
# Usage: install_deps_mirror.sh SOURCE_DIR
set -u
script=$1/scripts/install-deps
failed=0
# case: file name | its content | suite | expected mirror
check() {
    local dir
    dir=$(mktemp -d)
    mkdir -p "$dir/sources.list.d"
    printf '%b' "$2" >"$dir/$1"
    got=$(APT_SOURCES_DIR=$dir "$script" mirror "$3")
    rm -rf "$dir"
    if [ "$got" = "$4" ]; then echo "ok: $1 $3 -> '$got'"; else echo "FAIL: $1 $3: '$got', expected '$4'"; failed=1; fi
}
check sources.list 'deb [arch=amd64 signed-by=/k.gpg] http://mirror.lan/debian bookworm main\n' bookworm http://mirror.lan/debian
check sources.list 'deb-src http://src/debian bookworm main\ndeb http://sec/debian-security bookworm-security main\n' bookworm ''
check sources.list.d/proxy.list '# deb http://old/debian bookworm main\ndeb http://proxy:3142/debian bookworm main\n' bookworm http://proxy:3142/debian
check sources.list.d/debian.sources 'Types: deb\n# a comment\nURIs: http://proxy:3142/debian\nSuites: bookworm bookworm-updates\nComponents: main\n\nTypes: deb\nURIs: http://deb.debian.org/debian-security\nSuites: bookworm-security\n' bookworm http://proxy:3142/debian
check sources.list.d/debian.sources 'Types: deb-src\nURIs: http://src/debian\nSuites: bookworm\n\nTypes: deb\nURIs: http://mirror.lan/debian\nSuites: bookworm\n' bookworm http://mirror.lan/debian
check sources.list.d/backports.sources 'Types: deb\nURIs: http://mirror.lan/debian\nSuites: bookworm-backports\nComponents: main\n' bookworm ''
exit $failed
