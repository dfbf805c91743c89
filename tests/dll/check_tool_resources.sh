#!/usr/bin/env bash
# Checks ktsensors.exe's resources: the version information with the project's version, an
# application manifest that runs it as the invoker and declares the supported Windows
# versions (Vista to 11), and the Event Log's message table.
# Usage: check_tool_resources.sh EXE VERSION
set -u
exe=$1
version=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

strings=$(strings -el "$exe")
for key in FileVersion ProductVersion; do
    grep -A1 -x $key <<<"$strings" | grep -qxF "$version" || fail "$key is not $version"
done
grep -A1 -x OriginalFilename <<<"$strings" | grep -qx 'ktsensors.exe' ||
    fail "OriginalFilename is not ktsensors.exe"

manifest=$(strings -n 8 "$exe" | sed -n '/<assembly/,/<\/assembly>/p')
grep -q 'requestedExecutionLevel level="asInvoker"' <<<"$manifest" || fail "not run as invoker"
for os in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
    4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
    8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    grep -q "supportedOS Id=\"{$os}\"" <<<"$manifest" || fail "supportedOS {$os} missing"
done

# windmc writes the texts in UTF-16, as Event Viewer reads them.
for text in 'Sensor %1 (location %2) is critical at %3 C' 'Readings are failing: %1.' \
    'The service does not write %1: %2'; do
    grep -qF "$text" <<<"$strings" || fail "no message '$text' in the message table"
done

[ $failures -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $((failures > 0))
