# Sourced by the footprint benchmarks under Wine (the monitor's, the service's): a process's
# CPU time and memory from /proc over a measured window of $seconds, as JSON fields. Windows'
# figures have their Linux counterparts here: CPU time is user + system time, the working set
# the resident set (VmRSS), its peak VmHWM, the private part the anonymous memory (RssAnon).

# CPU time in nanoseconds of process PID (the sum over its threads that still run), or of its
# thread TID: the scheduler's own count (schedstat), finer than the clock ticks of stat.
ticks() {
    if [ -n "${2:-}" ]; then cut -d' ' -f1 "/proc/$1/task/$2/schedstat"
    else cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{n += $1} END {printf "%.0f\n", n}'; fi
}
kib() { awk -v key="$2:" '$1 == key {print $2}' "/proc/$1/status"; }

# NANOSECONDS [PREFIX]: CPU seconds per hour and percent of one CPU, scaled from the window.
cpu() {
    awk -v t="$1" -v p="${2:-}" -v s="$seconds" \
        'BEGIN { printf "\"%scpu_seconds_per_hour\": %.2f, \"%scpu_percent\": %.4f", p, t / 1e9 * 3600 / s, p, t / 1e9 / s * 100 }'
}

# PID: resident, peak resident and anonymous MiB.
memory() {
    awk -v r="$(kib "$1" VmRSS)" -v h="$(kib "$1" VmHWM)" -v a="$(kib "$1" RssAnon)" \
        'BEGIN { printf "\"working_set_mib\": %.1f, \"peak_working_set_mib\": %.1f, \"private_mib\": %.1f", r / 1024, h / 1024, a / 1024 }'
}

# PID PATTERN: the process of PID's Wine prefix whose command line matches PATTERN and, when
# MAPS is given, that has mapped a file matching it. Nothing when none is found.
of_prefix() {
    local prefix p
    prefix=$({ tr '\0' '\n' <"/proc/$1/environ"; } 2>/dev/null | sed -n 's/^WINEPREFIX=//p')
    for p in $(pgrep -f "$2" || true); do
        { [ -z "${3:-}" ] || grep -q "$3" "/proc/$p/maps" 2>/dev/null; } &&
            { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$prefix" && echo "$p"
    done | head -n1
}

# PID: the winedevice process that loaded the stand-in driver; it does the controller
# exchanges that Windows would count to the caller.
driver_host() { of_prefix "$1" winedevice 'drivers/qorix\.sys'; }

# PID: the prefix's wineserver, which does for every program what Windows' kernel does (each
# registry, synchronisation and device call is a round trip to it).
wineserver_of() { of_prefix "$1" '^/usr/lib/wine/wineserver'; }
