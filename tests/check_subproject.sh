#!/usr/bin/env bash
# Builds tests/subproject_consumer, an application that takes this source
# tree in with add_subdirectory, runs its programs with no host present, and
# checks that the library's insides are not on its include path.
#   check_subproject.sh SOURCE_DIR
set -euo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$source/tests/subproject_consumer" -B "$work/app" -G Ninja \
      -DLUMSDK_SOURCE="$source" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/app"
LUMSDK_PIPE_BASE=lumsdk-subproject-nobody "$work/app/app_c"
"$work/app/app_cpp"
if cmake --build "$work/app" --target reaches_inside >"$work/inside.log" 2>&1; then
  echo "an application could include the library's json/json_value.h"
  exit 1
fi
grep -q 'json/json_value.h' "$work/inside.log"
echo "the library's insides are not on the application's include path"
