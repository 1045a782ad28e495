#!/usr/bin/env bash
# Runs exit_probe's client RUNS times under Wine against one exit_probe host
# and counts the runs that printed their end and then did not exit within
# 10 s (each is killed then; with gdb at hand, its stacks are kept in
# exit-probe-hang-N.txt in the working directory). Not part of the test command: a question for
# Wine, asked when its exit hangs are in doubt (docs/windows.md).
#   exit_probe.sh WINE_RUNNER EXIT_PROBE_EXE RUNS
set -u
runner=$1 probe=$2 runs=$3
name="lumsdk-probe-$$"
"$runner" "$probe" host "$name" >/dev/null 2>&1 &
host=$!
trap 'kill $host 2>/dev/null; wait $host 2>/dev/null' EXIT
sleep 2
log=$(mktemp)
hangs=0 failures=0 worst=0
for i in $(seq 1 "$runs"); do
  "$runner" "$probe" client "$name" >"$log" 2>&1 &
  pid=$!
  status=""
  for _ in $(seq 1 300); do  # 30 s
    if ! kill -0 $pid 2>/dev/null; then wait $pid; status=$?; break; fi
    if grep -q "^ending at" "$log"; then
      ending=$(tr -d '\r' <"$log" | sed -n 's/^ending at \([0-9]*\)$/\1/p')
      [ $(( ($(date +%s%N) - ending) / 1000000 )) -gt 10000 ] && break
    fi
    sleep 0.1
  done
  ended=$(date +%s%N)
  ending=$(tr -d '\r' <"$log" | sed -n 's/^ending at \([0-9]*\)$/\1/p')
  late=-1
  [ -n "$ending" ] && late=$(( (ended - ending) / 1000000 ))
  [ "$late" -gt "$worst" ] && worst=$late
  if [ -z "$status" ]; then
    if [ -n "$ending" ]; then
      hangs=$((hangs + 1))
      echo "run $i: printed its end, then did not exit"
      if command -v gdb >/dev/null; then
        timeout 30 gdb -p "$pid" -batch -ex "thread apply all bt" >"exit-probe-hang-$i.txt" 2>&1
        echo "  its stacks: exit-probe-hang-$i.txt"
      fi
    else
      failures=$((failures + 1))
      echo "run $i: did not reach its end"
    fi
    kill -9 $pid 2>/dev/null; wait $pid 2>/dev/null
  elif [ "$status" -ne 0 ]; then
    failures=$((failures + 1))
    echo "run $i: exit $status"; cat "$log"
  fi
done
rm -f "$log"
echo "$runs runs: $hangs hung after printing their end, $failures failed otherwise (the slowest end: $worst ms)"
