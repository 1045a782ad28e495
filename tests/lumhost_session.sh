# Sourced by the test scripts that run programs against a lumhost process:
# starts one on pipes of its own (LUMSDK_PIPE_BASE, which the programs under
# test read too), with its console on file descriptor 3, and ends it.
#   start_lumhost WORK RUNNER LUMHOST [ARGS...]  # sets host_pid; log in WORK/host.log
#   stop_lumhost                                 # types quit and waits for it
#   restart_lumhost WORK RUNNER LUMHOST [ARGS...]  # stops it, starts it on the same pipes;
#                                                  # the earlier log goes to WORK/host.log.before
#   wait_for_line FILE PATTERN SECONDS           # until a line of FILE matches (grep), or fails
# RUNNER is "native" natively and the Wine wrapper for Windows programs.

start_lumhost() {
  local work=$1 runner=$2 host=$3
  shift 3
  local run=()
  [ "$runner" != native ] && run=("$runner")
  export LUMSDK_PIPE_BASE="${reuse_pipe_base:-lumsdk-test-$$-$RANDOM}"
  mkfifo "$work/input"
  "${run[@]}" "$host" --no-view "$@" <"$work/input" >"$work/host.log" 2>&1 &
  host_pid=$!
  exec 3>"$work/input"
  wait_for_line "$work/host.log" "lumhost: serving" 20 && return 0
  echo "lumhost did not start:"
  cat "$work/host.log"
  return 1
}

wait_for_line() {
  local file=$1 pattern=$2 seconds=$3
  for _ in $(seq 1 $((seconds * 10))); do
    grep -q "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

stop_lumhost() {
  [ -n "${host_pid:-}" ] || return 0
  echo quit >&3 2>/dev/null || true
  exec 3>&- 2>/dev/null
  wait "$host_pid" 2>/dev/null || true
  host_pid=""
}

restart_lumhost() {
  local work=$1
  local base=$LUMSDK_PIPE_BASE
  stop_lumhost
  mv "$work/host.log" "$work/host.log.before"
  rm -f "$work/input"
  reuse_pipe_base=$base start_lumhost "$@"
}
