#!/usr/bin/env bash
# `make demo` as a newcomer meets it: in a fresh copy of the checkout (the files git lists),
# on this machine with every program hidden that only `make test`'s packages bring, that is
# the packages of `scripts/install-deps list` and what they depend on, less what the demo's
# own list depends on and what every Debian system has (Essential, Priority required). A
# private mount namespace puts copies of /usr/bin and /usr/sbin without those programs over
# the real ones, so that CMake's find_program, which also looks in the system folders, cannot
# find them. Then what the demo printed must be the README's sample, the temperatures aside
# (the default notebook's drift with the clock), and nothing of make's.
# Usage: demo_fresh_machine.sh SOURCE_DIR WORK_DIR   (WORK_DIR is emptied first)
set -euo pipefail
src=$(cd "$1" && pwd)
work=$2
rm -rf "$work"
mkdir -p "$work/clone" "$work/home"
started=$(date +%s)

# The installed packages' names (architecture stripped), each with what it depends on (every
# alternative installed), what it provides, and whether every Debian system has it; then the
# installed instances (name:architecture where several are) of those in the full list's
# closure and not in the demo's nor on every system.
only_test_packages() {
    dpkg-query -W -f='${binary:Package}\t${db:Status-Abbrev}\t${Essential}\t${Priority}\t${Provides}\t${Pre-Depends}, ${Depends}\n' |
        awk -F'\t' -v full="$(scripts/install-deps list | tr '\n' ' ')" \
            -v demo="$(scripts/install-deps list demo | tr '\n' ' ')" '
        function bare(name) { sub(/ *\(.*/, "", name); gsub(/^ +| +$/, "", name); sub(/:.*/, "", name); return name }
        function close_over(list, into,    queue, n, i, name, k, parts, m) {
            n = split(list, queue, " ")
            for (i = 1; i <= n; i++) {
                name = bare(queue[i])
                if (name == "" || (name in into)) continue
                if (name in installed) into[name] = 1
                m = split(providers[name], parts, " ")
                for (k = 1; k <= m; k++) if (!(parts[k] in into)) queue[++n] = parts[k]
                m = split(depends[name], parts, " ")
                for (k = 1; k <= m; k++) queue[++n] = parts[k]
            }
        }
        $2 ~ /^ii/ {
            name = bare($1); installed[name] = 1; instances[name] = instances[name] " " $1
            if ($3 == "yes" || $4 == "required") everywhere[name] = 1
            n = split($5, parts, ","); for (i = 1; i <= n; i++) providers[bare(parts[i])] = providers[bare(parts[i])] " " name
            gsub(/\|/, ",", $6); n = split($6, parts, ",")
            for (i = 1; i <= n; i++) depends[name] = depends[name] " " bare(parts[i])
        }
        END {
            close_over(full, in_full); close_over(demo, in_demo)
            for (name in in_full) if (!(name in in_demo) && !(name in everywhere)) print instances[name]
        }'
}

cd "$src"
packages=$(only_test_packages)
# Every file of those packages (each installed architecture), then the entries of /usr/bin and
# /usr/sbin that are, or lead to, one of them (alternatives' links included).
owned=$work/owned
# shellcheck disable=SC2086
dpkg-query -L $packages 2>/dev/null | sed -E 's#^/(s?bin)/#/usr/\1/#' | sort -u >"$owned"
hidden=$work/hidden
for dir in /usr/bin /usr/sbin; do
    for entry in "$dir"/*; do
        printf '%s\t%s\n' "$entry" "$(realpath -m "$entry")"
    done
done | awk -F'\t' 'NR == FNR { owned[$1] = 1; next } ($1 in owned) || ($2 in owned) { print $1 }' \
    "$owned" - >"$hidden"
echo "hiding $(wc -l <"$hidden") programs of the $(wc -l <<<"$packages") packages that only make test needs"
grep -qx /usr/bin/promtool "$hidden" || { echo "FAIL: promtool is not among the hidden programs"; exit 1; }

# The pruned copies: hard links where the folder's file system allows them.
for dir in bin sbin; do
    cp -al "/usr/$dir" "$work/usr-$dir" 2>/dev/null || { rm -rf "$work/usr-$dir"; cp -a "/usr/$dir" "$work/usr-$dir"; }
done
while read -r path; do
    dir=${path%/*}
    rm -f "$work/usr-${dir#/usr/}/${path##*/}"
done <"$hidden"

git ls-files -z --cached --others --exclude-standard |
    tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$work/clone"

# The demo in its own mount namespace, with a newcomer's environment (a UTF-8 locale).
status=0
unshare --mount --propagation private env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME="$work/home" LANG=C.UTF-8 TERM=dumb WORK="$work" sh -c '
    mount --bind "$WORK/usr-bin" /usr/bin && mount --bind "$WORK/usr-sbin" /usr/sbin || exit 99
    command -v promtool >/dev/null && { echo "promtool is still visible" >&2; exit 99; }
    cd "$WORK/clone" && make demo' >"$work/demo.out" 2>"$work/demo.err" || status=$?
echo "make demo exited $status after $(($(date +%s) - started)) s; it printed:"
cat "$work/demo.out" "$work/demo.err"
[ "$status" -eq 0 ] || { echo "FAIL: make demo failed on a machine with only the demo's packages"; exit 1; }

# The README's sample: the code block after "`make demo` prints"; the current temperatures
# masked in both.
mask() { sed -E 's/^(sensor [0-9]+ \(location [0-9]+\): +)[-+][0-9]+\.[0-9] /\1+NN.N /'; }
awk '/`make demo` prints/ { found = 1; next } found && /^```/ { if (inside) exit; inside = 1; next } inside' \
    "$src/README.md" | mask >"$work/readme.sample"
cat "$work/demo.out" "$work/demo.err" | mask >"$work/demo.masked"
if ! diff -u "$work/readme.sample" "$work/demo.masked"; then
    echo "FAIL: the README's sample (-) is not what make demo printed (+)"
    exit 1
fi
echo "ok: make demo printed the README's sample"
rm -rf "$work"
