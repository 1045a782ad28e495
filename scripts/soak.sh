#!/usr/bin/env bash
# The soak run: four client processes call every export at random for the
# given time (default 600 s) while lumhost is killed and restarted every
# 15 s and taps keys all along. Prints, per client: calls, failures by code,
# asynchronous calls accepted against callbacks received (they must be
# equal), crashes and hangs, and RSS at start, after warm-up and at the end.
#   scripts/soak.sh [seconds]
# Native release build (the `linux` preset); not part of the test command.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
clients=4

cmake --preset linux >/dev/null && cmake --build --preset linux -j 2 --target lumhost soak_client >/dev/null ||
  { echo "soak: the build failed"; exit 1; }
bin=build/linux/bin
out=build/soak
mkdir -p "$out"
rm -f "$out"/*.log
export LUMSDK_PIPE_BASE="lumsdk-soak-$$"

work=$(mktemp -d)
host_pid="" feeder=""
stop_host() {
  [ -n "$feeder" ] && kill "$feeder" 2>/dev/null
  exec 3>&- 2>/dev/null
  [ -n "$host_pid" ] && kill -KILL "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  host_pid="" feeder=""
}
start_host() {
  rm -f "$work/input"
  mkfifo "$work/input"
  "$bin/lumhost" --no-view <"$work/input" >>"$out/lumhost.log" 2>&1 &
  host_pid=$!
  exec 3>"$work/input"
  (while :; do echo "tap A" || exit 0; sleep 0.05; done) >&3 &
  feeder=$!
}
trap 'stop_host; kill ${pids[*]} 2>/dev/null; rm -rf "$work"' EXIT

start_host
pids=()
for i in $(seq 1 $clients); do
  # A hang shows as exit 124: the client ran past its time by a minute.
  timeout -k 5 $((seconds + 60)) "$bin/soak_client" "$seconds" "$i" >"$out/client$i.log" 2>&1 &
  pids+=($!)
done

restarts=0
end=$((SECONDS + seconds))
while [ $SECONDS -lt $end ]; do
  sleep 15
  [ $SECONDS -ge $end ] && break
  stop_host
  sleep 1
  start_host
  restarts=$((restarts + 1))
done

status=0
for i in $(seq 1 $clients); do
  wait "${pids[$((i - 1))]}"
  code=$?
  case $code in
    0) verdict="ok" ;;
    3) verdict="CALLBACKS MISSING"; status=1 ;;
    124|137) verdict="HANG"; status=1 ;;
    *) verdict="CRASH (exit $code)"; status=1 ;;
  esac
  echo "client $i: $verdict: $(tail -n 1 "$out/client$i.log")"
done
stop_host
echo "host killed and restarted $restarts times in ${seconds} s; logs in $out/"
exit $status
