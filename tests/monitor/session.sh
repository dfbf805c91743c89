# Sourced by the monitor's test and benchmark: an Xvfb of their own and Wine's desktop "shell"
# (with its taskbar and notification area) on it, in the prefix scripts/wine chooses.
# Needs $src (the source tree) and $work (a scratch folder); sets $wine, $display.

wine=$src/scripts/wine
xvfb_pid=
desktop_pid=

# The Windows path of a file on this machine, for Wine's Z: drive.
winpath() { echo "Z:$(sed 's|/|\\|g' <<<"$1")"; }

# Starts Xvfb on a display it picks itself and Wine's shell desktop on it, running the Windows
# program and arguments given (by Windows path); false if either does not come up.
start_session() {
    : >"$work/display"
    Xvfb -displayfd 3 -screen 0 1000x700x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    local i
    for i in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    [ -s "$work/display" ] || { echo "Xvfb did not start"; cat "$work/xvfb.log"; return 1; }
    display=:$(head -n1 "$work/display")
    export KOVALTHERM_WINE_DISPLAY=$display DISPLAY=$display
    desktop_pid=$("$wine" spawn "$work/desktop.out" explorer /desktop=shell,1000x700,x11 "$@")
}

# Ends the desktop (and with it the programs on it) and Xvfb, each by its process id.
stop_session() {
    [ -n "$desktop_pid" ] && kill "$desktop_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    wait 2>/dev/null
    desktop_pid= xvfb_pid=
}

# Saves the X screen as a PNG.
screenshot() { xwd -root -silent -display "$display" | convert xwd:- "png:$1"; }

# True when the region GEOMETRY (WxH+X+Y) of image FILE has a pixel of colour #RRGGBB.
has_colour() {
    convert "$1" -crop "$2" +repage -unique-colors txt:- | grep -qi -- "#$3"
}

# Waits up to SECONDS for a line of FILE to match the extended regular expression.
wait_for_line() {
    local file=$1 pattern=$2 seconds=$3 i
    for i in $(seq $((seconds * 5))); do
        grep -qE -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.2
    done
    return 1
}

# The Linux process ids of the running Windows programs whose file is WINDOWS_PATH (Wine names
# each process by it); false when none runs.
windows_pids() {
    local f first found=1
    for f in /proc/[0-9]*/cmdline; do
        first=$({ tr '\0' '\n' <"$f"; } 2>/dev/null | head -n1)
        [ "$first" = "$1" ] && { f=${f#/proc/}; echo "${f%/cmdline}"; found=0; }
    done
    return $found
}
