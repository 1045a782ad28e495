#!/usr/bin/env bash
# Makes the NuGet package with its one command, unpacks it, checks its layout
# and contents, and runs a program compiled against the unpacked assembly
# under Mono, with the unpacked Linux library, against lumhost.
#   check_package.sh CMAKE BUILD_DIR NUPKG MCS MONO LUMHOST PROGRAM.cs LUMHOST_SESSION.sh
set -euo pipefail
cmake=$1 build=$2 nupkg=$3 mcs=$4 mono=$5 lumhost=$6 program=$7 session=$8
. "$session"

work=$(mktemp -d)
trap 'stop_lumhost; rm -rf "$work"' EXIT
fail() { echo "check_package: $*" >&2; exit 1; }

"$cmake" --build "$build" --target lumsdk_nupkg >"$work/pack.log" 2>&1 || { cat "$work/pack.log"; fail "packing failed"; }
mkdir "$work/unpacked"
(cd "$work/unpacked" && "$cmake" -E tar xf "$nupkg") || fail "cannot unpack $nupkg"

expected="LICENSE
Lumsdk.nuspec
[Content_Types].xml
_rels/.rels
lib/netstandard2.0/Lumsdk.dll
lib/netstandard2.0/Lumsdk.dll.config
lib/netstandard2.0/Lumsdk.xml
runtimes/linux-x64/native/libLUMSDK.so.3
runtimes/win-x64/native/LUMSDK.x64_2012.dll"
actual=$(cd "$work/unpacked" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "package files differ from the layout:
$actual"

u=$work/unpacked
grep -q "<id>Lumsdk</id>" "$u/Lumsdk.nuspec" || fail "nuspec: no id"
grep -q "<version>$LUMSDK_VERSION</version>" "$u/Lumsdk.nuspec" || fail "nuspec: not version $LUMSDK_VERSION"
grep -q 'target="libLUMSDK.so.3"' "$u/lib/netstandard2.0/Lumsdk.dll.config" || fail "dll map"
objdump -p "$u/runtimes/linux-x64/native/libLUMSDK.so.3" | grep -q "SONAME *libLUMSDK.so.3" \
  || fail "the Linux library's soname is not libLUMSDK.so.3"
x86_64-w64-mingw32-objdump -p "$u/runtimes/win-x64/native/LUMSDK.x64_2012.dll" >"$work/pe.txt" \
  || fail "the Windows DLL is no PE file"
grep -q "pei-x86-64" "$work/pe.txt" && grep -q "VelmoraSetLedsColors" "$work/pe.txt" \
  || fail "the Windows DLL is not the x64 library"

# A program built against the unpacked assembly, run as a user would.
lib=$u/lib/netstandard2.0
"$mcs" -nologo -langversion:7 -r:"$lib/Lumsdk.dll" -out:"$lib/Program.exe" "$program" \
  || fail "the program does not compile against the packaged assembly"
start_lumhost "$work" native "$lumhost" || exit 1
LD_LIBRARY_PATH=$u/runtimes/linux-x64/native "$mono" "$lib/Program.exe" >"$work/program.log" 2>&1 \
  || { cat "$work/program.log"; fail "the program failed"; }
grep -q "Demo Keyboard" "$work/program.log" || { cat "$work/program.log"; fail "no devices listed"; }
echo "check_package: $nupkg has the layout and works"
