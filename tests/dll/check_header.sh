#!/usr/bin/env bash
# Compiles a use of include/kovaltherm.h as C and as C++, with mingw and, where clang-cl is
# installed, in MSVC mode; and links one program against the mingw import library.
# Usage: check_header.sh SOURCE_DIR BUILD_DIR
set -u
src=$1
build=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0
run() {
    if "$@" >"$out/log" 2>&1; then echo "ok: $*"; else echo "FAIL: $*"; cat "$out/log"; failures=$((failures + 1)); fi
}
use="$src/tests/dll/header_use.c"
inc="-I$src/include"
run i686-w64-mingw32-gcc -std=c89 -pedantic -Wall -Wextra -Werror $inc -c "$use" -o "$out/c.o"
run i686-w64-mingw32-g++ -x c++ -std=c++98 -pedantic -Wall -Wextra -Werror $inc -c "$use" -o "$out/cpp.o"
clang_cl=$(command -v clang-cl || command -v clang-cl-14 || true)
if [ -n "$clang_cl" ]; then
    run "$clang_cl" --target=i686-pc-windows-msvc /W4 /WX /TC $inc /c /Fo"$out/msvc_c.obj" -- "$use"
    run "$clang_cl" --target=i686-pc-windows-msvc /W4 /WX /TP $inc /c /Fo"$out/msvc_cpp.obj" -- "$use"
fi
# A program that links the exports through the import library, as a developer would.
cat >"$out/main.c" <<'PROGRAM'
#include "kovaltherm.h"
int KovalthermHeaderUse(void);
int main(void) { return KovalthermHeaderUse() == 0 ? LMGetNumSensors() : 0; }
PROGRAM
run i686-w64-mingw32-gcc $inc "$out/main.c" "$out/c.o" -L"$build" -lKovaltherm -o "$out/main.exe"
if [ -f "$out/main.exe" ]; then
    i686-w64-mingw32-objdump -p "$out/main.exe" | grep -q 'DLL Name: Kovaltherm.dll' ||
        { echo "FAIL: program does not import Kovaltherm.dll"; failures=$((failures + 1)); }
fi
[ $failures -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $((failures > 0))
