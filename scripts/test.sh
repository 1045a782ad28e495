#!/usr/bin/env bash
# Builds the library for Linux (with sanitizers) and for Windows, and runs
# every test: natively, and under Wine for the Windows build. On a fresh
# Debian 12 machine, run as root: missing packages are installed first.
#
# Every stage runs even when an earlier one failed; the summary at the end
# says how each went, and the exit status is non-zero when any failed.
set -uo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh || exit 1

# A private Wine prefix, with its server started up front so that the first
# test does not wait for Wine's background processes. A prefix whose set-up
# was cut short has no system DLLs and fails every Windows test: it is made
# again (at most three times) until a program runs in it. A prefix made here
# is removed at the end.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
own_prefix=""
if [ -z "${WINEPREFIX:-}" ]; then
  own_prefix=$(mktemp -d /tmp/lumsdk-wine.XXXXXX)
  export WINEPREFIX=$own_prefix
fi
trap 'wineserver -k >/dev/null 2>&1 || true; [ -n "$own_prefix" ] && rm -rf "$own_prefix"' EXIT
for attempt in 1 2 3; do
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true  # until the set-up's processes have ended
  wineserver -p >/dev/null 2>&1 || true
  [ -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] && wine cmd /c exit >/dev/null 2>&1 && break
  echo "== the Wine prefix $WINEPREFIX did not set up (attempt $attempt); making it again"
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$own_prefix" ] && rm -rf "$own_prefix" && mkdir -p "$own_prefix"
done

status=0
summaries=()
run() {  # preset [ctest arguments...]
  local preset=$1; shift
  local log=build/$preset-ctest.log
  mkdir -p build
  echo "== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j 2; then
    summaries+=("$preset: the build failed")
    status=1
    return
  fi
  echo "== $preset: test"
  if ! ctest --preset "$preset" "$@" 2>&1 | tee "$log"; then status=1; fi
  local result
  result=$(grep -E 'tests passed|tests failed|No tests were found' "$log" | tail -n 1)
  summaries+=("$preset: ${result:-ctest ended without a result (see $log)}")
}

run linux-asan
run windows
# The concurrent parts again under ThreadSanitizer: the tests labelled tsan
# (tests/CMakeLists.txt says which).
run linux-tsan -L tsan
# The release build as shipped: its Linux packages, used as a user would.
run linux -L release

echo
echo "== summary"
printf '%s\n' "${summaries[@]}"
[ $status -eq 0 ] && echo "all stages passed" || echo "FAILED: at least one stage failed"
exit $status
