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
# test does not wait for Wine's background processes.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEPREFIX=${WINEPREFIX:-$(mktemp -d /tmp/lumsdk-wine.XXXXXX)}
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 || true
wineboot -i >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

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
# The concurrent parts again under ThreadSanitizer. (The test that leaves the
# process with the stand-in host still serving leaks its threads on purpose.)
run linux-tsan -R 'Stress|AsyncColors|KeyPress|EndToEnd|RpcConnection|Unload\.While|HostileHost|teardown|Cpp(Keys|Async)'
# The release build as shipped: its Linux packages, used as a user would.
run linux -L release

echo
echo "== summary"
printf '%s\n' "${summaries[@]}"
[ $status -eq 0 ] && echo "all stages passed" || echo "FAILED: at least one stage failed"
exit $status
