#!/bin/sh
# Kovaltherm test kit under Wine: installs, starts, stops and removes the stand-in thermal
# driver qorix as a kernel service in a Wine prefix.
#   qorix-kit.sh install|start|stop|remove|status [x86|x64]
# The prefix is $WINEPREFIX (default ~/.wine). The architecture defaults to x86 in a 32-bit
# prefix (WINEARCH=win32) and x64 otherwise; a 64-bit prefix runs the x64 driver, and both
# 32- and 64-bit programs reach it. start keeps the prefix's Wine session (and with it the
# driver) running between commands; stop and remove end it. start and remove empty the
# sensor cache, which described the notebook before. The script refuses to touch a qorix
# service whose driver does not carry the kit's marker.
set -u
kit=$(cd "$(dirname "$0")" && pwd)
marker=KOVALTHERM-TESTKIT-STAND-IN-QORIX
command=${1:-}
arch=${2:-}
[ -n "$arch" ] || { [ "${WINEARCH:-}" = win32 ] && arch=x86 || arch=x64; }
prefix=${WINEPREFIX:-$HOME/.wine}
case $arch in
x86) wine=${WINE:-wine} ;;
x64) wine=${WINE64:-$(command -v wine64 || echo /usr/lib/wine/wine64)} ;;
*) echo "qorix-kit: architecture must be x86 or x64, not '$arch'"; exit 2 ;;
esac
server=${WINESERVER:-wineserver}
target='C:\windows\system32\drivers\qorix.sys'
key='HKLM\System\CurrentControlSet\Services\qorix'
cache='HKLM\SOFTWARE\Norvane\QuenlarFeatures\Thermal'

# Prints none, kit or real: no qorix service, the kit's driver, or another (the real one).
classify() {
    image=$($wine reg query "$key" /v ImagePath 2>/dev/null | tr -d '\r' |
        sed -n 's/^[[:space:]]*ImagePath[[:space:]]*REG_[A-Z_]*[[:space:]]*//p')
    [ -n "$image" ] || { echo none; return; }
    case $image in
    '\SystemRoot\'*) image="C:\\windows\\${image#\\SystemRoot\\}" ;;
    '\??\'*) image=${image#\\??\\} ;;
    [Ss]ystem32*) image="C:\\windows\\$image" ;;
    esac
    file=$($wine winepath -u "$image" 2>/dev/null | tr -d '\r')
    if [ -n "$file" ] && grep -q "$marker" "$file" 2>/dev/null; then echo kit; else echo real; fi
}

# Keeps the prefix's Wine session alive after its last program ends: the driver's host
# process ends with it. A server already running without that is waited for (it ends a few
# seconds after its last program) and started again.
persist_session() {
    $server -p 2>/dev/null && return 0
    $wine sc query qorix 2>/dev/null | grep -q 'STATE.*RUNNING' && return 0
    timeout 30 $server -w 2>/dev/null
    $server -p 2>/dev/null || true
}

# Empties the sensor cache (in the registry's 32-bit view, which both builds of the library
# use), so that every program's next call builds it from the notebook the driver now serves.
empty_cache() {
    $wine reg delete "$cache" /reg:32 /f >/dev/null 2>&1 || true
}

refuse_if_real() {
    state=$(classify)
    if [ "$state" = real ]; then
        echo "qorix-kit: a qorix service is installed whose driver is not the test kit's;"
        echo "qorix-kit: it is left alone and nothing is done"
        exit 3
    fi
}

case $command in
install)
    refuse_if_real
    file=$($wine winepath -u "$target" 2>/dev/null | tr -d '\r')
    [ -n "$file" ] || { echo "qorix-kit: no Wine prefix at $prefix"; exit 1; }
    cp "$kit/$arch/qorix.sys" "$file" || exit 1
    if [ "$state" = none ]; then
        $wine sc create qorix type= kernel start= demand binPath= "$target" >/dev/null 2>&1 ||
            { echo "qorix-kit: sc create failed"; exit 1; }
    fi
    echo "qorix-kit: installed the $arch stand-in driver as service qorix in $prefix"
    ;;
start)
    refuse_if_real
    [ "$state" = kit ] || { echo "qorix-kit: not installed; run: $0 install"; exit 1; }
    persist_session
    $wine sc start qorix >/dev/null 2>&1
    $wine sc query qorix 2>/dev/null | grep -q 'STATE.*RUNNING' ||
        { echo "qorix-kit: the driver did not start"; exit 1; }
    empty_cache
    echo "qorix-kit: started (the default notebook; the sensor cache was emptied)"
    ;;
stop)
    refuse_if_real
    if [ "$state" = kit ]; then
        $wine sc stop qorix >/dev/null 2>&1
        $server -k 2>/dev/null
    fi
    echo "qorix-kit: stopped"
    ;;
remove)
    refuse_if_real
    if [ "$state" = kit ]; then
        $wine sc stop qorix >/dev/null 2>&1
        $wine sc delete qorix >/dev/null 2>&1 || { echo "qorix-kit: sc delete failed"; exit 1; }
        file=$($wine winepath -u "$target" 2>/dev/null | tr -d '\r')
        rm -f "$file"
        empty_cache
        $server -k 2>/dev/null
    fi
    echo "qorix-kit: removed"
    ;;
status)
    echo "qorix-kit: service qorix: $(classify)"
    ;;
*)
    sed -n '2,11p' "$0"
    exit 2
    ;;
esac
