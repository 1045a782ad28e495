#!/usr/bin/env bash
# Runs teardown_client RUNS times against a lumhost that taps a key nonstop,
# and fails unless every run ends cleanly (exit 0) within 2 seconds (each
# unload within 2 seconds, in the unload mode).
#   teardown_check.sh RUNNER LUMHOST CLIENT RUNS MODE END [CYCLES]
# RUNNER is "native" natively and the Wine wrapper for Windows programs.
#
# Two ways a run can fail to end are told apart:
#   - a hang: the program never printed its end (within 30 s), or crashed;
#   - an exit hang: it printed its end, then the process did not go within
#     2 s. Under Wine this happens now and then inside Wine's own process
#     exit, with no code of the library's running (docs/windows.md). Its
#     stacks and the list of Wine's processes are kept in teardown-hangs/
#     (in the test's working directory), and under Wine the run is repeated
#     once: only a second exit hang in a row fails. Natively it fails at once.
. "$(dirname "$0")/../lumhost_session.sh"
set -u
runner=$1 host=$2 client=$3 runs=$4
shift 4
run=()
[ "$runner" != native ] && run=("$runner")

work=$(mktemp -d)
hangs_dir=$PWD/teardown-hangs
trap 'kill $feeder 2>/dev/null; stop_lumhost; rm -rf "$work"' EXIT
start_lumhost "$work" "$runner" "$host" || exit 1
# Presses nonstop, a few hundred a second.
(while :; do echo "tap A" || exit 0; sleep 0.002; done) >&3 &
feeder=$!

now_ns() { date +%s%N; }
ending_of() { tr -d '\r' <"$1" | sed -n 's/^ending at \([0-9]*\)$/\1/p' | tail -n 1; }

# Keeps what can be seen of a process that printed its end and is still
# there: its threads' stacks (gdb, as the system sees them: under Wine that
# is Wine's own code) and, under Wine, Wine's process list and a minidump.
keep_evidence() {  # pid label
  local pid=$1 label=$2 out
  mkdir -p "$hangs_dir"
  out="$hangs_dir/$label"
  {
    echo "== $label: printed its end, then did not exit; $(date -u)"
    if command -v gdb >/dev/null; then
      timeout 30 gdb -p "$pid" -batch -ex "thread apply all bt" 2>&1 | grep -v '^\[New LWP'
    else
      for t in /proc/"$pid"/task/*; do echo "$t: $(cat "$t/wchan" 2>/dev/null)"; done
    fi
    if [ "$runner" != native ]; then
      echo "== Wine's processes"
      timeout 30 winedbg --command "info process" 2>&1
      local winpid
      winpid=$(timeout 30 winedbg --command "info process" 2>/dev/null |
               awk '/teardown_client/ {print $1; exit}')
      if [ -n "$winpid" ]; then
        timeout 60 winedbg --minidump "$out.mdmp" "0x$winpid" >/dev/null 2>&1 &&
          echo "minidump: $out.mdmp"
      fi
    fi
  } >"$out.txt" 2>&1
  head -n 60 "$out.txt"
  echo "(all of it in $out.txt)"
}

# One run. Sets outcome to ok, exit_hang or failed, and late to the
# milliseconds between the program's end and the process's (-1: no end).
run_once() {  # label
  local label=$1 pid status="" start ending
  shift
  start=$(now_ns)
  "${run[@]}" "$client" "$@" >"$work/client.log" 2>&1 &
  pid=$!
  while :; do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      status=$?
      break
    fi
    ending=$(ending_of "$work/client.log")
    if [ -n "$ending" ]; then
      # Printed its end: 10 s more to see whether it goes at all.
      [ $(( ($(now_ns) - ending) / 1000000 )) -gt 10000 ] && break
    elif [ $(( ($(now_ns) - start) / 1000000 )) -gt 30000 ]; then
      break
    fi
    sleep 0.05
  done
  local ended
  ended=$(now_ns)
  ending=$(ending_of "$work/client.log")
  late=-1
  [ -n "$ending" ] && late=$(( (ended - ending) / 1000000 ))
  if [ -z "$status" ]; then
    [ -n "$ending" ] && keep_evidence "$pid" "$label"
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  if [ "$status" = 0 ] && [ "$late" -le 2000 ]; then
    outcome=ok
  elif [ -n "$ending" ] && { [ -z "$status" ] || [ "$status" = 0 ]; }; then
    outcome=exit_hang
  else
    outcome=failed
  fi
  if [ "$outcome" != ok ]; then
    echo "$label: exit ${status:-none (killed)}, ended $late ms after the program's end" \
         "(4: an unload took over 2 s)"
    head -n 40 "$work/client.log"
  fi
}

failures=0 worst=0 retried=0
for i in $(seq 1 "$runs"); do
  run_once "run-$i-$$" "$@"
  [ "$late" -gt "$worst" ] && [ "$outcome" = ok ] && worst=$late
  if [ "$outcome" = exit_hang ] && [ "$runner" != native ]; then
    retried=$((retried + 1))
    echo "run $i: printed its end, then did not exit; running it once more"
    run_once "run-$i-again-$$" "$@"
  fi
  [ "$outcome" != ok ] && failures=$((failures + 1))
done
echo "$((runs - failures)) of $runs runs of '$*' ended cleanly within 2 s (the slowest end:" \
     "$worst ms; $retried exit hangs under Wine run again)"
[ $failures -eq 0 ]
