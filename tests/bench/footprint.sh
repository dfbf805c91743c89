# Sourced by the footprint benchmarks under Wine (the monitor's, the service's): a process's
# CPU time and memory from /proc over a measured window of $seconds, as JSON fields. Windows'
# figures have their Linux counterparts here: CPU time is user + system time, the working set
# the resident set (VmRSS), its peak VmHWM, the private part the anonymous memory (RssAnon).

hz=$(getconf CLK_TCK)

# User and system time in clock ticks (fields 14 and 15, counted after the name in brackets)
# of process PID, or of its thread TID.
ticks() { sed 's/.*) //' "/proc/$1/${2:+task/$2/}stat" | awk '{print $12 + $13}'; }
kib() { awk -v key="$2:" '$1 == key {print $2}' "/proc/$1/status"; }

# TICKS [PREFIX]: CPU seconds per hour and percent of one CPU, scaled from the window.
cpu() {
    awk -v t="$1" -v p="${2:-}" -v hz="$hz" -v s="$seconds" \
        'BEGIN { printf "\"%scpu_seconds_per_hour\": %.2f, \"%scpu_percent\": %.4f", p, t / hz * 3600 / s, p, t / hz / s * 100 }'
}

# PID: resident, peak resident and anonymous MiB.
memory() {
    awk -v r="$(kib "$1" VmRSS)" -v h="$(kib "$1" VmHWM)" -v a="$(kib "$1" RssAnon)" \
        'BEGIN { printf "\"working_set_mib\": %.1f, \"peak_working_set_mib\": %.1f, \"private_mib\": %.1f", r / 1024, h / 1024, a / 1024 }'
}

# PID: the winedevice process of PID's prefix that loaded the stand-in driver; it does the
# controller exchanges that Windows would count to the caller. Nothing when none is found.
driver_host() {
    local prefix p
    prefix=$({ tr '\0' '\n' <"/proc/$1/environ"; } 2>/dev/null | sed -n 's/^WINEPREFIX=//p')
    for p in $(pgrep -f winedevice || true); do
        grep -q 'drivers/qorix\.sys' "/proc/$p/maps" 2>/dev/null &&
            { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$prefix" && echo "$p"
    done | head -n1
}
