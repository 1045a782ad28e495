#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds an example out of
# tree against the installed package with find_package(LUMSDK), then against
# the build tree's own package.
#   check_package.sh BUILD_DIR SOURCE_DIR TOOLCHAIN_FILE|native
set -euo pipefail
build=$1 source=$2 toolchain=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in include/LUMSDK.h include/lumsdk.hpp include/lumsdk/detail/healer.hpp lib/cmake/LUMSDK/LUMSDKConfig.cmake; do
  [ -f "$work/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
args=(-S "$source/tests/package_consumer" -B "$work/consumer" -G Ninja
      -DCMAKE_PREFIX_PATH="$work/prefix" -DEXAMPLES_DIR="$source/examples")
[ "$toolchain" != native ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
cmake "${args[@]}" >/dev/null
cmake --build "$work/consumer"
ls "$work/prefix"/*/ "$work/consumer"
echo "the example built against the installed package"

# The same package straight from the build tree.
args=(-S "$source/tests/package_consumer" -B "$work/from_build" -G Ninja
      -DLUMSDK_DIR="$build" -DEXAMPLES_DIR="$source/examples")
[ "$toolchain" != native ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
cmake "${args[@]}" >/dev/null
cmake --build "$work/from_build"
echo "the example built against the build tree's package"
