#!/usr/bin/env bash
# Signing as `make dist` does it (packaging/release over both builds' installed SDK tree), with a
# root CA, code-signing certificate and RFC 3161 time-stamping authority made here and thrown
# away: every file packaging/signed-files names, each MSI and the binaries inside it verify
# against that root with a time stamp; a changed byte, or a changed MSI, fails verification;
# without a certificate nothing is signed, and the release says so once. The operators' guide's
# osslsigncode check, as written, passes on the signed MSI and fails on the unsigned one.
# Usage: signing_test.sh SOURCE_DIR WIN32_BUILD WIN64_BUILD VERSION
set -u
src=$(cd "$1" && pwd) win32=$(cd "$2" && pwd) win64=$(cd "$3" && pwd) version=$4
work=$(mktemp -d)
tsa_pid=
trap '[ -n "$tsa_pid" ] && kill "$tsa_pid"; rm -rf "$work"' EXIT
passed=0 failed=0
check() { if [ "$1" = 0 ]; then echo "ok: $2"; passed=$((passed + 1)); else echo "FAIL: $2"; failed=$((failed + 1)); fi; }
cd "$work" || exit 1

# ---- The throwaway certificates and the time-stamping authority on a port the OS chose ----
cat >ca.cnf <<'EOF'
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
[signer]
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[stamper]
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
[tsa]
default_tsa = stamps
[stamps]
serial = serial
signer_cert = stamper.pem
signer_key = stamper.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256
accuracy = secs:1
EOF
openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 2 -subj "/CN=Kovaltherm test root" \
    -config ca.cnf -extensions root 2>/dev/null
for cert in signer stamper; do
    openssl req -newkey rsa:2048 -nodes -keyout $cert.key -out $cert.csr -subj "/CN=Kovaltherm test $cert" 2>/dev/null &&
        openssl x509 -req -in $cert.csr -CA root.pem -CAkey root.key -CAcreateserial -out $cert.pem -days 2 \
            -extfile ca.cnf -extensions $cert 2>/dev/null
done
echo 01 >serial
echo 'a throwaway password' >password
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile root.pem -out signer.pfx -passout file:password
python3 "$src/tests/msi/time_stamps.py" ca.cnf >port &
tsa_pid=$!
for _ in $(seq 50); do [ -s port ] && break; sleep 0.1; done
check "$([ -s signer.pfx ] && [ -s port ]; echo $?)" "root, code-signing certificate and time-stamping authority made"

# ---- Both builds installed as make dist installs them, then the release ----
for build in "$win32" "$win64"; do cmake --install "$build" --prefix tree --strip >/dev/null; done
out=$(SIGN_PFX=$work/signer.pfx SIGN_PASSWORD_FILE=$work/password SIGN_TIMESTAMP_URL=http://127.0.0.1:$(cat port) \
    "$src/packaging/release" "$version" tree signed "$win32" "$win64" 2>&1)
check $? "the release signs: $out"
verify() { osslsigncode verify -CAfile root.pem -TSA-CAfile root.pem -in "$1" >"$1.verify" 2>&1 &&
    grep -q '^Signature verification: ok$' "$1.verify" && grep -q '^Timestamp Server Signature verification: ok$' "$1.verify"; }
files=()
while read -r pattern; do
    case $pattern in '#'* | '') continue ;; esac
    for file in tree/$pattern; do files+=("$file"); done
done <"$src/packaging/signed-files"
for arch in x86 x64; do
    mkdir -p "inside-$arch"
    msiextract -C "inside-$arch" "signed/kovaltherm-$version-$arch.msi" >/dev/null
    msiinfo extract "signed/kovaltherm-$version-$arch.msi" Binary.SetupActions >"inside-$arch/KovalthermSetup.dll"
    mapfile -t packed < <(find "inside-$arch" -name Kovaltherm.dll -o -name ktsensors.exe)
    files+=("signed/kovaltherm-$version-$arch.msi" "inside-$arch/KovalthermSetup.dll" "${packed[@]}")
done
[ ${#files[@]} = 14 ] && [[ " ${files[*]} " == *" tree/x64/ktsensors.exe "* && " ${files[*]} " == *"inside-x86/"*"/Kovaltherm.dll "* ]]
check $? "the files to verify include both programs and both libraries, inside and beside each MSI"
for file in "${files[@]}"; do
    verify "$file"
    check $? "signed with a time stamp, verifies against the root: $file"
done
echo "    osslsigncode verify of tree/x64/Kovaltherm.dll:"
grep -E 'verification|Timestamp time|Subject' tree/x64/Kovaltherm.dll.verify | sed 's/^/    | /'

# ---- A changed byte fails verification ----
cp tree/x64/Kovaltherm.dll tampered.dll
printf '\x90' | dd of=tampered.dll bs=1 seek=$(($(stat -c %s tampered.dll) / 3)) conv=notrunc 2>/dev/null
! verify tampered.dll && grep -q 'MISMATCH' tampered.dll.verify
check $? "a DLL with one byte changed fails verification"
echo "    osslsigncode verify of that DLL:"
grep -E 'Signature verification|digest' tampered.dll.verify | sed 's/^/    | /'
cp "signed/kovaltherm-$version-x64.msi" tampered.msi
msibuild tampered.msi -q "UPDATE \`Property\` SET \`Value\` = '9.9.9' WHERE \`Property\` = 'ProductVersion'"
[ -s tampered.msi ] && ! verify tampered.msi
check $? "an MSI with its ProductVersion changed fails verification"

# ---- The operators' guide's check of a signature, as written, with the throwaway root as the
# system's only trusted one: the signed MSI passes, the unsigned one below fails ----
guide() { (cd "$1" && "$src/tests/docs/sandbox.sh" --bind "$work/root.pem" /etc/ssl/certs/ca-certificates.crt -- \
    bash -e -c "$("$src/tests/docs/doc_commands.py" print "$src" signature)" 2>&1); }
out=$(guide signed)
check "$([ $? = 0 ] && grep -q '^Signature verification: ok$' <<<"$out"; echo $?)" \
    "the guide's $("$src/tests/docs/doc_commands.py" print "$src" signature | cut -c1-40)... passes on the signed MSI"

# ---- No certificate: nothing signed, said once ----
out=$(env -u SIGN_PFX "$src/packaging/release" "$version" tree plain "$win32" "$win64" 2>&1)
[ "$(grep -c 'unsigned' <<<"$out")" = 1 ]
check $? "without SIGN_PFX the release says once that it signs nothing"
[ -s "plain/kovaltherm-$version-x64.msi" ] &&
    ! osslsigncode verify -CAfile root.pem -in "plain/kovaltherm-$version-x64.msi" >/dev/null 2>&1
check $? "without SIGN_PFX the MSI is made, unsigned"
out=$(guide plain)
check "$([ $? != 0 ]; echo $?)" "the guide's check fails on the unsigned MSI: $(grep -m1 -i 'fail\|no signature' <<<"$out")"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
