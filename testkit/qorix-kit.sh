#!/bin/sh
# Kovaltherm test kit under Wine: installs, starts, stops and removes the stand-in thermal
# driver qorix as a kernel service in a Wine prefix.
#   qorix-kit.sh install|start|stop|remove|status [x86|x64]
# The prefix is $WINEPREFIX (default ~/.wine). The architecture defaults to x86 in a 32-bit
# prefix (WINEARCH=win32) and x64 otherwise; a 64-bit prefix runs the x64 driver, and both
# 32- and 64-bit programs reach it. start keeps the prefix's Wine session (and with it the
# driver) running between commands, its output (the Kovaltherm service's events among it) in
# qorix-kit.log in the prefix; stop and remove end it, first stopping the Kovaltherm service
# if it is installed there, so that its file says kovaltherm_up 0. start and remove empty the
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
log=$prefix/qorix-kit.log
# The debug channels that carry ReportEvent: Wine keeps no Event Log and only passes events on.
events='-all,trace+eventlog,warn+eventlog,err+eventlog,fixme+advapi'

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
# seconds after its last program) and started again. Sets fresh=0 when the driver already
# runs in a session kept before, else 1.
persist_session() {
    fresh=1
    $server -p 2>/dev/null && return 0
    if $wine sc query qorix 2>/dev/null | grep -q 'STATE.*RUNNING'; then
        fresh=0
        return 0
    fi
    timeout 30 $server -w 2>/dev/null
    $server -p 2>/dev/null || true
}

# Stops the Kovaltherm service, when it is installed in the prefix, and waits up to 30 s for
# it: stopped, it writes kovaltherm_up 0 into its file, which the end of the session alone
# would leave with the last temperatures. Fails when the service does not stop in time.
stop_service() {
    $wine sc query Kovaltherm >/dev/null 2>&1 || return 0
    $wine sc stop Kovaltherm >/dev/null 2>&1
    deadline=$(($(date +%s) + 30))
    until $wine sc query Kovaltherm 2>/dev/null | grep -q 'STATE.*STOPPED'; do
        if [ "$(date +%s)" -ge $deadline ]; then
            echo "qorix-kit: the Kovaltherm service did not stop within 30 s; the driver is left running"
            exit 1
        fi
        sleep 0.5
    done
    echo "qorix-kit: stopped the Kovaltherm service"
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
    if [ $fresh = 1 ]; then
        # The session's services write to the standard error of the program that starts it.
        : >"$log"
        WINEDEBUG=${WINEDEBUG:-$events} $wine sc start qorix >>"$log" 2>&1
    fi
    $wine sc query qorix 2>/dev/null | grep -q 'STATE.*RUNNING' ||
        { echo "qorix-kit: the driver did not start"; exit 1; }
    empty_cache
    echo "qorix-kit: started (the default notebook; the sensor cache was emptied)"
    if [ $fresh = 1 ]; then
        echo "qorix-kit: the Wine session's output, with the Kovaltherm service's events, goes to $log"
    else
        echo "qorix-kit: the Wine session was already running; its output goes where it went"
    fi
    ;;
stop)
    refuse_if_real
    if [ "$state" = kit ]; then
        stop_service
        $wine sc stop qorix >/dev/null 2>&1
        $server -k 2>/dev/null
    fi
    echo "qorix-kit: stopped"
    ;;
remove)
    refuse_if_real
    if [ "$state" = kit ]; then
        stop_service
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
    sed -n '2,13p' "$0"
    exit 2
    ;;
esac
