#!/bin/sh
# Builds the same sources as the next version into a build folder of its own, for the MSI's
# upgrade test; make test runs it as a stage of its own beside the x64 suite, which then finds
# it built. One build at a time in the folder (flock).
# Usage: next_version_build.sh CMAKE SOURCE BUILD TOOLCHAIN BUILD_TYPE VERSION
set -eu
cmake=$1 src=$2 build=$3 toolchain=$4 type=$5 version=$6
mkdir -p "$build"
exec flock "$build/.lock" sh -c '"$0" -S "$1" -B "$2" -DCMAKE_TOOLCHAIN_FILE="$3" -DCMAKE_BUILD_TYPE="$4" \
    -DKOVALTHERM_VERSION_OVERRIDE="$5" >/dev/null &&
    "$0" --build "$2" -j2 --target Kovaltherm ktsensors kovaltherm-monitor KovalthermSetup' \
    "$cmake" "$src" "$build" "$toolchain" "$type" "$version"
