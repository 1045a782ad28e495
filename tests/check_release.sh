#!/usr/bin/env bash
# Makes the release package(s) of a build as its `package` target does, checks
# what they hold, and uses them as an SDK user would: a first program built
# against the package alone runs against the package's own lumhost.
#   check_release.sh windows BUILD_DIR SOURCE_DIR WINE_RUNNER
#     the zip; the program is built by clang for the MSVC ABI and linked by
#     lld-link against the zip's LUMSDK.x64_2012.lib, with no C runtime
#   check_release.sh linux BUILD_DIR SOURCE_DIR
#     the .tar.gz (built with pkg-config) and the .deb (its file list)
. "$(dirname "$0")/lumhost_session.sh"
set -euo pipefail
platform=$1 build=$2 source=$3 runner=${4:-}
work=$(mktemp -d)
trap 'stop_lumhost; rm -rf "$work"' EXIT
fail() { echo "release check: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
mkdir -p "$work/sdk"

# The files every user relies on; then the debug information: out of the
# library, into a file beside it that the library names.
expect() { for f in "$@"; do [ -e "$top/$f" ] || fail "missing from the package: $f"; done; }
stripped() {  # objdump library
  local headers
  headers=$("$1" -h "$2")
  ! grep -q '\.debug_info' <<<"$headers" || fail "$2 still carries debug information"
  grep -q '\.gnu_debuglink' <<<"$headers" || fail "$2 does not name its debug file"
  [ -s "$2.debug" ] || fail "no debug file beside $2"
}

if [ "$platform" = windows ]; then
  zip=$work/packages/LUMSDK-$version-win64.zip
  [ -f "$zip" ] || fail "no $(basename "$zip")"
  (cd "$work/sdk" && cmake -E tar xf "$zip")
  top=$work/sdk/LUMSDK-$version-win64
  expect include/LUMSDK.h include/lumsdk.hpp include/lumsdk/detail/healer.hpp bin/LUMSDK.x64_2012.dll bin/lumhost.exe lib/LUMSDK.x64_2012.lib \
         lib/libLUMSDK.x64_2012.dll.a lib/LUMSDK.def lib/cmake/LUMSDK/LUMSDKConfig.cmake \
         examples/rainbow.c docs/api.md LICENSE CHANGELOG.md README.md
  stripped x86_64-w64-mingw32-objdump "$top/bin/LUMSDK.x64_2012.dll"
  mingw=/usr/x86_64-w64-mingw32/lib
  clang --target=x86_64-pc-windows-msvc -ffreestanding -Wall -Werror -I "$top/include" \
        -c "$source/tests/package_consumer/release_check.c" -o "$work/release_check.obj"
  lld-link /nologo /entry:entry /subsystem:console /nodefaultlib /out:"$top/bin/release_check.exe" \
           "$work/release_check.obj" "$top/lib/LUMSDK.x64_2012.lib" "$mingw/libkernel32.a" \
           "$mingw/libmsvcrt.a"
  run=("$runner")
  host=$top/bin/lumhost.exe program=$top/bin/release_check.exe
else
  tgz=$work/packages/LUMSDK-$version-linux-x86_64.tar.gz
  [ -f "$tgz" ] || fail "no $(basename "$tgz")"
  tar -C "$work/sdk" -xzf "$tgz"
  top=$work/sdk/LUMSDK-$version-linux-x86_64
  expect include/LUMSDK.h include/lumsdk.hpp include/lumsdk/detail/healer.hpp lib/libLUMSDK.so lib/libLUMSDK.so.3 "lib/libLUMSDK.so.$version" \
         lib/pkgconfig/lumsdk.pc lib/cmake/LUMSDK/LUMSDKConfig.cmake bin/lumhost \
         share/doc/LUMSDK/README.md share/doc/LUMSDK/LICENSE share/doc/LUMSDK/docs/api.md
  [ "$(readlink "$top/lib/libLUMSDK.so.3")" = "libLUMSDK.so.$version" ] ||
    fail "libLUMSDK.so.3 does not point at libLUMSDK.so.$version"
  grep -q 'SONAME *libLUMSDK.so.3$' <<<"$(objdump -p "$top/lib/libLUMSDK.so.$version")" ||
    fail "the library's soname is not libLUMSDK.so.3"
  stripped objdump "$top/lib/libLUMSDK.so.$version"
  deb=$(ls "$work"/packages/lumsdk_*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || fail "no .deb"
  grep -q "/lib/libLUMSDK.so.$version$" <<<"$(dpkg-deb -c "$deb")" || fail "the .deb lacks the library"
  export PKG_CONFIG_PATH=$top/lib/pkgconfig
  [ "$(pkg-config --modversion lumsdk)" = "$version" ] || fail "pkg-config reports another version"
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Werror -D_POSIX_C_SOURCE=200809L \
     "$source/tests/package_consumer/release_check.c" -o "$work/release_check" \
     $(pkg-config --cflags --libs lumsdk)
  # The C++ header and its detail/ parts compile from the package alone.
  echo '#include "lumsdk.hpp"' | c++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror -I "$top/include" -x c++ - ||
    fail "lumsdk.hpp does not compile from the package"
  export LD_LIBRARY_PATH=$top/lib
  run=()
  host=$top/bin/lumhost program=$work/release_check
fi

# The package's own host, on pipes of this run alone.
start_lumhost "$work" "${runner:-native}" "$host" || fail "lumhost did not start"
status=0
"${run[@]}" "$program" || status=$?
stop_lumhost
[ $status -eq 0 ] || { cat "$work/host.log"; fail "the program built against the package failed"; }
echo "release check: $platform package works"
