#!/usr/bin/env bash
# Runs one example program against a lumhost process, as an application
# developer would, and fails unless both behave. Both find each other through
# LUMSDK_PIPE_BASE, set to pipes of this run alone, so runs may overlap.
#   run_example.sh EMULATOR LUMHOST EXAMPLE [--host-arg ARG]... [--after-ready COMMAND] [ARGS...]
# EMULATOR is "native" natively and the Wine wrapper for Windows programs.
# Each --host-arg is passed to lumhost. COMMAND is typed into lumhost once the
# example prints a line "ready...".
set -u
emulator=$1 host=$2 example=$3
shift 3
after_ready=""
host_args=()
while [ "${1:-}" = "--host-arg" ]; do host_args+=("$2"); shift 2; done
if [ "${1:-}" = "--after-ready" ]; then after_ready=$2; shift 2; fi
run=()
[ "$emulator" != native ] && run=("$emulator")

work=$(mktemp -d)
export LUMSDK_PIPE_BASE="lumsdk-example-$$-$RANDOM"
trap 'exec 3>&- 2>/dev/null; kill $host_pid 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
mkfifo "$work/input"
"${run[@]}" "$host" --no-view "${host_args[@]}" <"$work/input" >"$work/host.log" 2>&1 &
host_pid=$!
exec 3>"$work/input"

for _ in $(seq 1 200); do
  grep -q "lumhost: serving" "$work/host.log" && break
  sleep 0.1
done
if ! grep -q "lumhost: serving" "$work/host.log"; then
  echo "lumhost did not start:"; cat "$work/host.log"; exit 1
fi

"${run[@]}" "$example" "$@" >"$work/example.log" 2>&1 &
example_pid=$!
if [ -n "$after_ready" ]; then
  for _ in $(seq 1 200); do
    grep -q "^ready" "$work/example.log" && break
    sleep 0.1
  done
  echo "$after_ready" >&3
fi
wait $example_pid
status=$?
echo quit >&3
exec 3>&-
wait $host_pid
cat "$work/example.log"
echo "--- lumhost"
cat "$work/host.log"
exit $status
