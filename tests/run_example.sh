#!/usr/bin/env bash
# Runs one example program against a lumhost process, as an application
# developer would, and fails unless both behave. Both find each other through
# LUMSDK_PIPE_BASE, set to pipes of this run alone (tests/lumhost_session.sh),
# so runs may overlap.
#   run_example.sh EMULATOR LUMHOST EXAMPLE [--host-arg ARG]... [--restart-host]
#                  [--after-ready COMMAND] [ARGS...]
# EMULATOR is "native" natively and the Wine wrapper for Windows programs.
# Each --host-arg is passed to lumhost. COMMAND is typed into lumhost once the
# example prints a line "ready...". With --restart-host, lumhost is first
# stopped and started again on the same pipes, and COMMAND waits until the
# example prints a line "reconnected".
. "$(dirname "$0")/lumhost_session.sh"
set -u
emulator=$1 host=$2 example=$3
shift 3
after_ready=""
host_args=()
while [ "${1:-}" = "--host-arg" ]; do host_args+=("$2"); shift 2; done
restart=""
if [ "${1:-}" = "--restart-host" ]; then restart=1; shift; fi
if [ "${1:-}" = "--after-ready" ]; then after_ready=$2; shift 2; fi
run=()
[ "$emulator" != native ] && run=("$emulator")

work=$(mktemp -d)
trap 'stop_lumhost; rm -rf "$work"' EXIT
start_lumhost "$work" "$emulator" "$host" "${host_args[@]}" || exit 1

"${run[@]}" "$example" "$@" >"$work/example.log" 2>&1 &
example_pid=$!
if [ -n "$after_ready" ]; then
  wait_for_line "$work/example.log" "^ready" 20
  if [ -n "$restart" ]; then
    restart_lumhost "$work" "$emulator" "$host" "${host_args[@]}" || exit 1
    wait_for_line "$work/example.log" "^reconnected" 60
  fi
  echo "$after_ready" >&3
fi
wait $example_pid
status=$?
stop_lumhost
cat "$work/example.log"
if [ -f "$work/host.log.before" ]; then
  echo "--- lumhost, before the restart"
  cat "$work/host.log.before"
fi
echo "--- lumhost"
cat "$work/host.log"
exit $status
