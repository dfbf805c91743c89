#!/usr/bin/env bash
# The operators' guide's commands for the MSI, as written, on what `make dist` made: SHA256SUMS
# names every file in dist/ (the packages and the Group Policy template) and the guide's
# sha256sum check passes there; then in the 64-bit Wine prefix, each msiexec line in a batch
# file of its own under Wine's cmd, in dist/: the install, the repair (INTERVAL=60), the
# uninstall by package, the install with LISTEN and the uninstall by product code, each exiting
# 0 with the service's command line as the guide gives it; and `ktsensors.exe --install-service
# --listen 0.0.0.0:9757` in C:\Program Files\Kovaltherm; the Group Policy example's reg add lines
# and ktsensors.exe there, which shows the policies' label and warning and leaves location 1 out.
# Usage: guide_test.sh SOURCE_DIR DIST_DIR SDK_ZIP
set -u
src=$1 dist=$2 zip=$3
version=$(basename "$zip" | sed -n 's/^kovaltherm-\([0-9.]*\)-windows\.zip$/\1/p')
export KOVALTHERM_WINE_ARCH=win64
export WINE_MAX_PROGRAM_STATUS=255 # msiexec's codes, e.g. 1605, end as their low byte
wine=$src/scripts/wine
work=$(mktemp -d)
passed=0 failed=0
check() { if [ "$1" = 0 ]; then echo "ok: $2"; passed=$((passed + 1)); else echo "FAIL: $2"; failed=$((failed + 1)); fi; }
expect() { [ "$2" = "$3" ]; check $? "$1${4:+: $4}$([ "$2" = "$3" ] || echo ": got '$2', expected '$3'")"; }
# The commands the documents list under KEY (tests/docs/doc_commands.py), as written.
doc() { "$src/tests/docs/doc_commands.py" print "$src" "$1"; }

# ---- The checksums ----
listed=$(awk '{ print $2 }' "$dist/SHA256SUMS" 2>/dev/null | sort | tr '\n' ' ')
expect "SHA256SUMS names every file in dist/" "$listed" \
    "$(cd "$dist" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort | tr '\n' ' ')"
out=$(cd "$dist" && bash -e -c "$(doc checksums)")
check $? "$(doc checksums) in dist/: $(grep -c ': OK$' <<<"$out") packages OK"

# ---- The msiexec lines under Wine ----
"$wine" setup "$src/build/win64" >/dev/null || { echo "FAIL: Wine set-up"; exit 1; }
prefix=$("$wine" prefix)
unix() { echo "$prefix/drive_c/$(sed 's|^C:\\||; s|\\|/|g' <<<"$1")"; }
installed='C:\Program Files\Kovaltherm'
textfile='C:\Program Files\windows_exporter\textfile_inputs\kovaltherm.prom'
service_key='HKLM\System\CurrentControlSet\Services\Kovaltherm'
# Runs LINE as a batch file of its own, in FOLDER, under Wine's cmd, its output in step.out;
# its exit status.
bat() {
    printf '%s\r\n' "$2" >"$work/step.bat"
    echo "> $2"
    (cd "$1" && "$wine" run cmd /c "$("$wine" winpath "$work/step.bat")" >"$work/step.out" 2>&1)
}
command_line() { "$wine" run reg query "$service_key" /v ImagePath 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *ImagePath *REG_[A-Z_]* *//p'; }
cleanup() {
    "$wine" run "$(unix "$installed")/ktsensors.exe" --uninstall-service >/dev/null 2>&1
    "$wine" run msiexec /x "$("$wine" winpath "$dist/kovaltherm-$version-x64.msi")" /qn >/dev/null 2>&1
}
trap 'cleanup; rm -rf "$work" "$(unix "C:\\Program Files\\windows_exporter")"; "$wine" shutdown >/dev/null' EXIT
cleanup
# windows_exporter's folder first, as the guide asks.
mkdir -p -m 755 "$(dirname "$(unix "$textfile")")"

service="\"$installed\\ktsensors.exe\" --service"
for step in msi-install:"--watch 30 --output \"$textfile\"" msi-repair:"--watch 60 --output \"$textfile\"" \
    msi-uninstall: msi-install-listen:"--watch 30 --output \"$textfile\" --listen 0.0.0.0:9757" msi-uninstall-code:; do
    key=${step%%:*} expected=${step#*:}
    bat "$dist" "$(doc $key)"
    expect "$key exits 0" "$?" 0
    expect "the service's command line after $key" "$(command_line)" "${expected:+$service $expected}"
done

# ---- ktsensors.exe --install-service in the program's folder ----
mkdir -p -m 755 "$(unix "$installed")"
(cd "$(unix "$installed")" && cmake -E tar xf "$zip" "kovaltherm-$version/x64/ktsensors.exe" "kovaltherm-$version/x64/Kovaltherm.dll" &&
    mv "kovaltherm-$version"/x64/* . && rm -r "kovaltherm-$version")
bat "$(unix "$installed")" "$(doc install-service)"
expect "$(doc install-service) exits 0" "$?" 0
expect "the service's command line" "$(command_line)" "$service --watch 30 --output \"$textfile\" --listen 0.0.0.0:9757"

# ---- The Group Policy example: its reg add lines, then ktsensors.exe, on the default notebook ----
"$wine" driver start >/dev/null || check 1 "the driver starts"
out=$work/policy.out
: >"$out"
while IFS= read -r line; do
    # Wine's cmd now and then fails to start reg.exe ("Can't recognize 'reg add …'"): once more.
    bat "$(unix "$installed")" "$line" >/dev/null || bat "$(unix "$installed")" "$line" >/dev/null
    check $? "$line"
    cat "$work/step.out" >>"$out"
done < <(doc policy)
tr -d '\r' <"$out" | grep -q '^sensor 0 (location 2, CPU): .* normal$' && tr -d '\r' <"$out" | grep -qE "^  owner's limits: +\(warn = \+80\.0 C\)" &&
    ! grep -q '(location 1' "$out"
check $? "ktsensors.exe under the policies: sensor 0 labelled CPU with the owner's warning at 80, no location 1"
sed 's/^/  /' "$out"
"$wine" run reg delete 'HKLM\SOFTWARE\Policies\Kovaltherm' /f /reg:64 >/dev/null 2>&1

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
