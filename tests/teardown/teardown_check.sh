#!/usr/bin/env bash
# Runs teardown_client RUNS times against a lumhost that taps a key nonstop,
# and fails unless every run ends cleanly (exit 0) within 2 seconds.
#   teardown_check.sh RUNNER LUMHOST CLIENT RUNS MODE END [CYCLES]
# RUNNER is "native" natively and the Wine wrapper for Windows programs.
set -u
runner=$1 host=$2 client=$3 runs=$4
shift 4
run=()
[ "$runner" != native ] && run=("$runner")

work=$(mktemp -d)
export LUMSDK_PIPE_BASE="lumsdk-teardown-$$-$RANDOM"
trap 'kill $feeder 2>/dev/null; exec 3>&- 2>/dev/null; kill $host_pid 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
mkfifo "$work/input"
"${run[@]}" "$host" --no-view <"$work/input" >"$work/host.log" 2>&1 &
host_pid=$!
exec 3>"$work/input"
for _ in $(seq 1 200); do
  grep -q "lumhost: serving" "$work/host.log" && break
  sleep 0.1
done
grep -q "lumhost: serving" "$work/host.log" || { echo "lumhost did not start"; cat "$work/host.log"; exit 1; }
# Presses nonstop, a few hundred a second.
(while :; do echo "tap A" || exit 0; sleep 0.002; done) >&3 &
feeder=$!

failures=0
for i in $(seq 1 "$runs"); do
  start=$(date +%s%N)
  timeout -k 1 2 "${run[@]}" "$client" "$@" >"$work/client.log" 2>&1
  status=$?
  took=$(( ($(date +%s%N) - start) / 1000000 ))
  if [ $status -ne 0 ]; then
    failures=$((failures + 1))
    echo "run $i: exit $status after $took ms (124: did not end within 2 s)"
    head -n 40 "$work/client.log"
  fi
done
echo "$((runs - failures)) of $runs runs of '$*' ended cleanly within 2 s"
[ $failures -eq 0 ]
