#!/usr/bin/env bash
# Unpacks the SDK zip into a temporary folder (everything must be in one folder
# kovaltherm-VERSION/), builds its examples with CMake and mingw through find_package(Kovaltherm)
# for x86 and x64, under a toolchain file that restricts package lookup to its root path (for
# x64 the documents' cross build as written, the SDK seen at /opt/kovaltherm-sdk), and linked.c
# through pkg-config and the documents' mingw lines; runs them in the 64-bit Wine prefix
# (32-bit programs under WoW64): without the driver the run-time loading example carries on and
# the linked one is refused by the loader; with it they read the default notebook's three sensors.
# Then, on Linux from the unpacked folder: checks the wheels and the NuGet package (contents,
# tags, each DLL's machine type); runs the README's Linux commands as written (the C, C# and
# Python examples, the wheel installed into a fresh virtual environment) on three notebooks;
# installs the NuGet package from nuget/ with the README's nuget install, builds a .NET
# Framework project on it with xbuild for each platform (x64 with the README's line) and runs
# one with mono; runs the wrappers' tests
# (wrappers_test.py) on the installed wheel and the package's assembly, and the JSON Schema's
# (schema_test.py).
# Usage: consumer_test.sh SDK_ZIP [--linux-only]
set -u
zip=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
export KOVALTHERM_WINE_ARCH=win64
wine=$src/scripts/wine
work=$(mktemp -d)
trap '"$wine" shutdown >/dev/null; rm -rf "$work"' EXIT
passed=0 failed=0
check() {
    if [ "$1" = 0 ]; then
        echo "ok: $2"
        passed=$((passed + 1))
    else
        echo "FAIL: $2"
        failed=$((failed + 1))
    fi
}

version=$(basename "$zip" | sed -n 's/^kovaltherm-\([0-9.]*\)-windows\.zip$/\1/p')
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip") || { echo "FAIL: cannot unpack $zip"; exit 1; }
[ -n "$version" ] && [ "$(ls -A "$work/unpacked")" = "kovaltherm-$version" ]
check $? "the zip unpacks into one folder kovaltherm-$version"
sdk=$work/unpacked/kovaltherm-$version
[ -d "$sdk" ] || exit 1
# The machine a DLL or shared library is built for, as objdump names it.
machine_of() { x86_64-w64-mingw32-objdump -f "$1" 2>/dev/null | sed -n 's/^architecture: \([^,]*\),.*/\1/p'; }
# The commands the documents list under KEY (tests/docs/doc_commands.py), as written.
doc() { "$src/tests/docs/doc_commands.py" print "$src" "$1"; }

if [ "${2:-}" != --linux-only ]; then
    for arch in x86 x64; do
        case $arch in x86) prefix=i686-w64-mingw32 ;; x64) prefix=x86_64-w64-mingw32 ;; esac
        # An ordinary mingw toolchain file, whose root path the command line extends.
        printf '%s\n' 'set(CMAKE_SYSTEM_NAME Windows)' "set(CMAKE_C_COMPILER $prefix-gcc)" \
            "set(CMAKE_CXX_COMPILER $prefix-g++)" "set(CMAKE_RC_COMPILER $prefix-windres)" \
            "list(APPEND CMAKE_FIND_ROOT_PATH /usr/$prefix)" 'set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)' \
            'set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)' 'set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)' \
            'set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)' >"$work/$arch.cmake"
        if [ $arch = x86 ]; then
            configure=(cmake -S "$sdk/examples" -B "$work/$arch" --toolchain "$work/$arch.cmake"
                       -DCMAKE_FIND_ROOT_PATH="$sdk")
            echo "${configure[*]}"
            "${configure[@]}" >"$work/$arch.log" 2>&1 && cmake --build "$work/$arch" >>"$work/$arch.log" 2>&1
        else
            # The documents' cross build, in a copy of the examples with the toolchain file
            # beside them, the SDK where the command names it.
            cp -r "$sdk/examples" "$work/project" && cp "$work/$arch.cmake" "$work/project/mingw-w64-x86_64.cmake"
            (cd "$work/project" && "$src/tests/docs/sandbox.sh" --bind "$sdk" /opt/kovaltherm-sdk -- \
                bash -ex -c "$(doc cross-build)") >"$work/$arch.log" 2>&1 && ln -s "$work/project/build-x64" "$work/$arch"
        fi
        status=$?
        [ $status -eq 0 ] || cat "$work/$arch.log"
        check $status "$arch: the examples build through find_package(Kovaltherm) in a cross build"
        for program in linked sensors; do
            $prefix-objdump -p "$work/$arch/$program.exe" 2>/dev/null | grep -q 'DLL Name: Kovaltherm.dll'
            check $? "$arch: $program.exe imports Kovaltherm.dll"
        done
        flags=$(PKG_CONFIG_LIBDIR="$sdk/$arch/pkgconfig" pkg-config --cflags --libs kovaltherm) &&
            $prefix-gcc "$sdk/examples/linked.c" $flags -o "$work/$arch/pc-linked.exe" &&
            $prefix-objdump -p "$work/$arch/pc-linked.exe" | grep -q 'DLL Name: Kovaltherm.dll'
        check $? "$arch: linked.c builds through pkg-config ($flags)"
        machine=$(machine_of "$work/$arch/Kovaltherm.dll")
        [ "$machine" = "$([ $arch = x86 ] && echo i386 || echo i386:x86-64)" ]
        check $? "$arch: the package gave the $arch DLL ($machine)"
        # The documents' lines without CMake or through pkg-config, as written, in the SDK's folder.
        for key in $([ $arch = x86 ] && echo mingw-x86 || echo mingw-x64 pkg-config); do
            (cd "$sdk" && rm -f linked.exe && bash -ex -c "$(doc $key)") &&
                [ "$(machine_of "$sdk/linked.exe")" = "$machine" ] && $prefix-objdump -p "$sdk/linked.exe" | grep -q 'DLL Name: Kovaltherm.dll'
            check $? "$arch: the documents' $(doc $key | cut -d' ' -f1-4) ... builds an $arch linked.exe"
        done
        rm -f "$sdk/linked.exe"
    done

    "$wine" setup "$src/build/win64" >/dev/null || { echo "FAIL: Wine set-up"; exit 1; }
    "$wine" run reg delete 'HKLM\SOFTWARE\Norvane\QuenlarFeatures\Thermal' /reg:32 /f >/dev/null 2>&1
    for arch in x86 x64; do
        out=$("$wine" run "$work/$arch/runtime.exe")
        status=$?
        echo "$out"
        [ $status -eq 0 ] && grep -q '^no thermal sensors' <<<"$out"
        check $? "$arch: without the driver, runtime.exe carries on"
        "$wine" run "$work/$arch/linked.exe" >/dev/null 2>&1
        [ $? -ne 0 ]
        check $? "$arch: without the driver, the loader refuses linked.exe"
    done
    "$wine" driver start >/dev/null || { echo "FAIL: the driver did not start"; exit 1; }
    for arch in x86 x64; do
        for program in linked sensors runtime; do
            out=$("$wine" run "$work/$arch/$program.exe")
            status=$?
            echo "$out"
            [ $status -eq 0 ] && grep -q '^3 sensors$' <<<"$out" && grep -q '^sensor 2: [0-9]* C' <<<"$out"
            check $? "$arch: $program.exe reads the three sensors"
        done
    done

    "$wine" shutdown >/dev/null
fi

# The wheels: a tag per platform, only that platform's library (of its machine), typed.
for wheel in win32:Kovaltherm.dll:i386 win_amd64:Kovaltherm.dll:i386:x86-64 \
    linux_x86_64:libkovaltherm.so:i386:x86-64; do
    IFS=: read -r tag library arch <<<"$wheel"
    unpacked=$work/wheels/$tag
    mkdir -p "$unpacked" && (cd "$unpacked" && unzip -q "$sdk/python/kovaltherm-$version-py3-none-$tag.whl") &&
        [ "$(cd "$unpacked" && find . -name '*.dll' -o -name '*.so')" = "./kovaltherm/$library" ] &&
        [ "$(machine_of "$unpacked/kovaltherm/$library")" = "$arch" ] && [ -f "$unpacked/kovaltherm/py.typed" ] &&
        grep -qx "Tag: py3-none-$tag" "$unpacked"/kovaltherm-*.dist-info/WHEEL
    check $? "the $tag wheel carries only kovaltherm/$library ($arch), and py.typed"
done
[ "$(ls "$work/wheels/linux_x86_64/kovaltherm/scenarios")" = "$(ls "$src/examples")" ]
check $? "the linux_x86_64 wheel carries the example scenarios"
tar tzf "$sdk/python/kovaltherm-$version.tar.gz" | grep -q 'kovaltherm/__init__.py$' &&
    ! tar tzf "$sdk/python/kovaltherm-$version.tar.gz" | grep -qE '\.(dll|so)$'
check $? "the sdist carries the sources and no library"

# The README's Linux commands as written, in the unpacked folder: the build, then the run on
# each notebook (the README's "steady" replaced), with Debian's python3 and a home of their own.
export HOME=$work/home PATH=/usr/bin:$PATH
mkdir "$HOME"
(cd "$sdk" && bash -e <<<"$(doc sdk-linux)") >"$work/build.log" 2>&1
status=$?
[ $status -eq 0 ] || cat "$work/build.log"
check $status "the README's Linux examples build, and the wheel installs into a fresh virtual environment"
! "$sdk/v/bin/python" -c 'import jsonschema' 2>/dev/null && [ -f "$(echo "$sdk"/v/lib/python3*/site-packages/kovaltherm/libkovaltherm.so)" ]
check $? "the virtual environment has the wheel's library and none of the system's packages"
expected() { # lines each notebook's run prints, from the scenarios' documented values
    case $1 in
    steady) printf '%s\n' '3 sensors' 'sensor 2: 47 C, status 1' \
        'SensorReading(Ordinal=2, Location=1, Temperature=47, WarningLimit=75, CriticalLimit=90, Status=Normal)' \
        'SensorReading(ordinal=2, location=1, temperature=47, warning_limit=75, critical_limit=90, status=<SensorStatus.NORMAL: 1>)' ;;
    stuck-controller) printf '%s\n' '2 sensors' \
        'SensorReading(Ordinal=1, Location=5, Temperature=null, WarningLimit=65, CriticalLimit=75, Status=null)' \
        'SensorReading(ordinal=1, location=5, temperature=None, warning_limit=65, critical_limit=75, status=None)' '{}' ;;
    firmware-faults) printf '%s\n' '3 sensors' 'sensor 2: 39 C, status 0' \
        'SensorReading(Ordinal=2, Location=5, Temperature=39, WarningLimit=null, CriticalLimit=null, Status=null)' \
        'SensorReading(ordinal=2, location=5, temperature=39, warning_limit=None, critical_limit=None, status=None)' ;;
    esac
}
for notebook in steady stuck-controller firmware-faults; do
    out=$(cd "$sdk" && bash -e <<<"$(doc sdk-linux-run | sed "s/steady/$notebook/g")" 2>&1)
    status=$?
    echo "--- $notebook:"
    echo "$out"
    missing=$(grep -vxF -f <(echo "$out") <(expected $notebook))
    [ $status -eq 0 ] && [ -z "$missing" ]
    check $? "the README's Linux examples run on $notebook.json${missing:+; missing: $missing}"
done

# The NuGet package from nuget/ as a local feed, as a .NET Framework developer installs it.
(cd "$sdk" && bash -e -c "$(doc nuget-install)") >/dev/null
check $? "$(doc nuget-install): installs it"
package=$sdk/packages/Kovaltherm.$version
[ "$(cd "$package" && find . -type f | sort | tr '\n' ' ')" = "./Kovaltherm.$version.nupkg ./LICENSE.txt ./README.md \
./build/Kovaltherm.targets ./lib/net45/Kovaltherm.Net.dll ./lib/net45/Kovaltherm.Net.xml \
./runtimes/win-x64/native/Kovaltherm.dll ./runtimes/win-x86/native/Kovaltherm.dll " ]
check $? "the package holds the wrapper and its documentation, both DLLs, the targets, the license and the README"
[ "$(machine_of "$package/runtimes/win-x86/native/Kovaltherm.dll")" = i386 ] &&
    [ "$(machine_of "$package/runtimes/win-x64/native/Kovaltherm.dll")" = i386:x86-64 ]
check $? "runtimes/win-x86 holds the x86 DLL, runtimes/win-x64 the x64 one"
nuspec=$(unzip -p "$sdk/nuget/Kovaltherm.$version.nupkg" Kovaltherm.nuspec)
grep -q "<version>$version</version>" <<<"$nuspec" && grep -q '<license type="file">LICENSE.txt</license>' <<<"$nuspec" &&
    grep -q '<readme>README.md</readme>' <<<"$nuspec" &&
    grep -q 'T:Kovaltherm.KovalthermException' "$package/lib/net45/Kovaltherm.Net.xml"
check $? "the package has the project's version, names its license and README, and documents the API"

# A .NET Framework project on the package, importing its targets as packages.config projects
# do. Debian's Mono has no reference assemblies: its own 4.5 assemblies stand in for them.
mkdir "$work/app" && cp "$sdk/examples/ReadSensors.cs" "$work/app/"
sed "s|@PACKAGE@|$package|g" >"$work/app/App.csproj" <<'PROJECT'
<Project ToolsVersion="4.0" DefaultTargets="Build" xmlns="http://schemas.microsoft.com/developer/msbuild/2003">
  <PropertyGroup>
    <OutputType>Exe</OutputType><AssemblyName>App</AssemblyName><TargetFrameworkVersion>v4.5</TargetFrameworkVersion>
    <PlatformTarget>$(Platform)</PlatformTarget><OutputPath>bin\$(Platform)\</OutputPath>
  </PropertyGroup>
  <ItemGroup>
    <Reference Include="System" />
    <Reference Include="Kovaltherm.Net"><HintPath>@PACKAGE@/lib/net45/Kovaltherm.Net.dll</HintPath></Reference>
    <Compile Include="ReadSensors.cs" />
  </ItemGroup>
  <Import Project="$(MSBuildToolsPath)\Microsoft.CSharp.targets" />
  <Import Project="@PACKAGE@/build/Kovaltherm.targets" Condition="Exists('@PACKAGE@/build/Kovaltherm.targets')" />
</Project>
PROJECT
for platform in x86:Kovaltherm.dll:i386 x64:Kovaltherm.dll:i386:x86-64 \
    AnyCPU:x86/Kovaltherm.dll:i386 AnyCPU:x64/Kovaltherm.dll:i386:x86-64; do
    IFS=: read -r name dll arch <<<"$platform"
    if [ -f "$work/app/bin/$name/App.exe" ]; then :
    elif [ $name = x64 ]; then # as the README gives it
        (cd "$work/app" && bash -e -c "$(doc xbuild)") >"$work/xbuild-$name.log" 2>&1 || cat "$work/xbuild-$name.log"
    else
        xbuild /nologo /verbosity:quiet /p:Platform=$name /p:_TargetFrameworkDirectories=/usr/lib/mono/4.5 \
            "$work/app/App.csproj" >"$work/xbuild-$name.log" 2>&1 || cat "$work/xbuild-$name.log"
    fi
    [ "$(machine_of "$work/app/bin/$name/$dll")" = "$arch" ] && [ -f "$work/app/bin/$name/Kovaltherm.Net.dll" ]
    check $? "xbuild, platform $name: the package's targets put the $arch DLL at $dll"
done
out=$(cd "$work/app/bin/AnyCPU" && LD_LIBRARY_PATH=$sdk/linux-x86_64 KOVALTHERM_CLOCK=virtual \
    KOVALTHERM_REGISTRY=$work/app/steady.db KOVALTHERM_SCENARIO=$sdk/linux-x86_64/scenarios/steady.json mono App.exe)
echo "$out"
grep -qxF "$(expected steady | sed -n 3p)" <<<"$out"
check $? "the AnyCPU program built on the package reads the steady notebook under mono"

# The wrappers' tests on the wheel installed above and the package's assembly; the schema's.
KOVALTHERM_SDK="$sdk" KOVALTHERM_DOTNET="$package/lib/net45/Kovaltherm.Net.dll" \
    KOVALTHERM_HOST_BUILD="$sdk/linux-x86_64" PYTHONDONTWRITEBYTECODE=1 "$sdk/v/bin/python" "$src/tests/sdk/wrappers_test.py"
check $? "the Python and .NET wrappers of the packages pass their tests"
python3 "$src/tests/sdk/schema_test.py" "$sdk"
check $? "ktsensors --json matches the SDK's JSON Schema, which refuses what breaks it"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
