#!/usr/bin/env bash
# Runs teardown_client RUNS times against a lumhost that taps a key nonstop,
# and fails unless every run ends cleanly (exit 0) within 2 seconds (each
# unload within 2 seconds, in the unload mode).
#   teardown_check.sh RUNNER LUMHOST CLIENT RUNS MODE END [CYCLES]
# RUNNER is "native" natively and the Wine wrapper for Windows programs.
. "$(dirname "$0")/../lumhost_session.sh"
set -u
runner=$1 host=$2 client=$3 runs=$4
shift 4
run=()
[ "$runner" != native ] && run=("$runner")

work=$(mktemp -d)
trap 'kill $feeder 2>/dev/null; stop_lumhost; rm -rf "$work"' EXIT
start_lumhost "$work" "$runner" "$host" || exit 1
# Presses nonstop, a few hundred a second.
(while :; do echo "tap A" || exit 0; sleep 0.002; done) >&3 &
feeder=$!

# A run must end within 2 s of the moment the program ends (it prints that
# moment); in the unload mode the program checks each unload's 2 s itself.
# The whole run gets more, for the start under a loaded machine.
failures=0 worst=0
for i in $(seq 1 "$runs"); do
  timeout -k 1 30 "${run[@]}" "$client" "$@" >"$work/client.log" 2>&1
  status=$?
  ended=$(date +%s%N)
  ending=$(tr -d '\r' <"$work/client.log" | sed -n 's/^ending at \([0-9]*\)$/\1/p' | tail -n 1)
  late=-1
  [ -n "$ending" ] && late=$(( (ended - ending) / 1000000 ))
  [ "$late" -gt "$worst" ] && worst=$late
  if [ $status -ne 0 ] || [ -z "$ending" ] || [ "$late" -gt 2000 ]; then
    failures=$((failures + 1))
    echo "run $i: exit $status, ended $late ms after the program's end (4: an unload took over 2 s)"
    head -n 40 "$work/client.log"
  fi
done
echo "$((runs - failures)) of $runs runs of '$*' ended cleanly within 2 s (the slowest end: $worst ms)"
[ $failures -eq 0 ]
