#!/usr/bin/env bash
# Compiles a use of include/kovaltherm.h as C and as C++, with mingw and, where clang-cl is
# installed, in MSVC mode; and links one program against the mingw import library.
# Usage: check_header.sh SOURCE_DIR BUILD_DIR MINGW_PREFIX (i686-w64-mingw32 or x86_64-w64-mingw32)
set -u
src=$1
build=$2
mingw=${3:-i686-w64-mingw32}
msvc_target=${mingw%%-*}-pc-windows-msvc
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0
run() {
    if "$@" >"$out/log" 2>&1; then echo "ok: $*"; else echo "FAIL: $*"; cat "$out/log"; failures=$((failures + 1)); fi
}
use="$src/tests/dll/header_use.c"
inc="-I$src/include"
run $mingw-gcc -std=c89 -pedantic -Wall -Wextra -Werror $inc -c "$use" -o "$out/c.o"
run $mingw-g++ -x c++ -std=c++98 -pedantic -Wall -Wextra -Werror $inc -c "$use" -o "$out/cpp.o"
clang_cl=$(command -v clang-cl || command -v clang-cl-14 || true)
if [ -n "$clang_cl" ]; then
    run "$clang_cl" --target=$msvc_target /W4 /WX /TC $inc /c /Fo"$out/msvc_c.obj" -- "$use"
    run "$clang_cl" --target=$msvc_target /W4 /WX /TP $inc /c /Fo"$out/msvc_cpp.obj" -- "$use"
fi
# A program that links the exports through the import library, as a developer would.
cat >"$out/main.c" <<'PROGRAM'
#include "kovaltherm.h"
int KovalthermHeaderUse(void);
int main(void) { return KovalthermHeaderUse() == 0 ? LMGetNumSensors() : 0; }
PROGRAM
run $mingw-gcc $inc "$out/main.c" "$out/c.o" -L"$build" -lKovaltherm -o "$out/main.exe"
if [ -f "$out/main.exe" ]; then
    $mingw-objdump -p "$out/main.exe" | grep -q 'DLL Name: Kovaltherm.dll' ||
        { echo "FAIL: program does not import Kovaltherm.dll"; failures=$((failures + 1)); }
fi
[ $failures -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $((failures > 0))
