#!/usr/bin/env bash
# Times VelmoraGetLedPositions against VelmoraGetDeviceCount against a real
# lumhost: starts lumhost on pipes of this run alone (LUMSDK_PIPE_BASE, which
# both lumhost and the library read), runs `api_bench --host lumhost` against
# it and stops it. With --async, runs `async_bench --host lumhost` instead
# (the asynchronous callers under load; never pinned, since how callers and
# the worker share the cores is what it measures).
#   bench/lumhost_bench.sh [--no-pin] BUILD_DIR [rounds [block]]
#   bench/lumhost_bench.sh --async BUILD_DIR [seconds [threads]]
# BUILD_DIR is build/linux or build/windows (then both run under Wine, through
# scripts/wine-run). Natively both processes run on one CPU (taskset) unless
# --no-pin is given, for the reason bench/bench_process.h gives; under Wine
# the wine server serves every pipe operation and cannot be pinned, so there
# both run where the system places them.
set -u
pin=1
bench=api_bench
if [ "${1:-}" = "--no-pin" ]; then pin=0; shift; fi
if [ "${1:-}" = "--async" ]; then bench=async_bench; pin=0; shift; fi
if [ $# -lt 1 ]; then
  echo "usage: $0 [--no-pin | --async] BUILD_DIR [rounds [block] | seconds [threads]]" >&2
  exit 2
fi
build=$1
shift
here=$(cd "$(dirname "$0")/.." && pwd)
run=()
suffix=""
if [ -f "$build/bin/api_bench.exe" ]; then
  run=("$here/scripts/wine-run")
  suffix=.exe
  pin=0
elif [ "$pin" = 1 ] && command -v taskset >/dev/null; then
  run=(taskset -c 0)
fi
bench_args=(--host lumhost "$@")
[ "$pin" = 0 ] && [ "$bench" = api_bench ] && bench_args=(--no-pin "${bench_args[@]}")

work=$(mktemp -d)
export LUMSDK_PIPE_BASE="lumsdk-bench-$$-$RANDOM"
trap 'exec 3>&- 2>/dev/null; kill $host_pid 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
mkfifo "$work/input"
"${run[@]}" "$build/bin/lumhost$suffix" --no-view <"$work/input" >"$work/host.log" 2>&1 &
host_pid=$!
exec 3>"$work/input"
for _ in $(seq 1 200); do
  grep -q "lumhost: serving" "$work/host.log" && break
  sleep 0.1
done
if ! grep -q "lumhost: serving" "$work/host.log"; then
  echo "lumhost did not start:"
  cat "$work/host.log"
  exit 1
fi
"${run[@]}" "$build/bin/$bench$suffix" "${bench_args[@]}"
status=$?
echo quit >&3
exec 3>&-
wait $host_pid
exit $status
