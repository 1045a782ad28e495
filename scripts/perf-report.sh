#!/usr/bin/env bash
# Writes the performance sheet, docs/performance.md, and its latency plot,
# docs/performance-latency.svg: builds the release benchmarks (the `linux`
# preset, and the `windows` preset with the benchmarks on), runs them natively
# and the Windows ones under Wine, and hands their output to
# scripts/perf-sheet.py, which takes every figure of the sheet from it. The
# raw output stays in build/perf-report/.
#   scripts/perf-report.sh [--quick] [--no-wine]
# --quick shortens every run (the scale run to 10 s instead of 60 s) for
# trying the script out; --no-wine leaves the Windows build and its runs out.
# Benchmarks time the wall clock: run it on a machine that is otherwise quiet
# (on a shared build machine, hold its build lock for the whole run). Under
# Wine it uses WINEPREFIX, by default a prefix of its own.
# Not part of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

quick=0 wine=1
for arg in "$@"; do
  case $arg in
    --quick) quick=1 ;;
    --no-wine) wine=0 ;;
    *) echo "usage: $0 [--quick] [--no-wine]" >&2; exit 2 ;;
  esac
done

# Seconds of each run: full, quick.
if [ $quick = 1 ]; then
  canned=6 flat=1 paced=4 scale=10 wine_canned=4 wine_flat=1 wine_paced=3 idle=1
else
  canned=24 flat=5 paced=20 scale=60 wine_canned=12 wine_flat=3 wine_paced=10 idle=5
fi
scale_clients=16 rate=60

out=build/perf-report
rm -rf "$out"
mkdir -p "$out"
log() { echo "perf-report: $*" >&2; }

# --- the machine ---------------------------------------------------------
{
  echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "commit=$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- src include host bench/*.cc bench/*.h bench/CMakeLists.txt || echo ' (with local changes)')"
  echo "cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
  echo "cores=$(nproc)"
  echo "kernel=$(uname -sr)"
  echo "os=$(. /etc/os-release && echo "$PRETTY_NAME")"
  echo "gcc=$(g++ --version | head -1)"
  echo "mingw=$(x86_64-w64-mingw32-g++-posix --version | head -1)"
  echo "wine=$(wine --version 2>/dev/null || echo none)"
  echo "load=$(cut -d' ' -f1-3 /proc/loadavg)"
  echo "quick=$quick"
  echo "wine_run=$wine"
} >"$out/machine.txt"

# --- builds --------------------------------------------------------------
log "building (linux preset)"
cmake --preset linux >"$out/build-linux.log" 2>&1
cmake --build --preset linux -j 2 --target api_bench frame_bench scale_bench lumhost \
  >>"$out/build-linux.log" 2>&1 || { cat "$out/build-linux.log"; exit 1; }
if [ $wine = 1 ]; then
  log "building (windows preset, benchmarks on)"
  cmake --preset windows -DLUMSDK_BUILD_BENCH=ON >"$out/build-windows.log" 2>&1
  cmake --build --preset windows -j 2 --target api_bench frame_bench lumhost \
    >>"$out/build-windows.log" 2>&1 || { cat "$out/build-windows.log"; exit 1; }
fi

# --- helpers ---------------------------------------------------------------
# CPU time of the live threads of a process so far, in us, from the
# scheduler's nanosecond counts (/proc/PID/task/*/schedstat); clock ticks
# would be too coarse for the short runs.
cpu_us() {
  cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ns += $1} END {printf "%.1f\n", ns / 1000}'
}
rss_kb() { awk '/^VmRSS:/ {print $2}' /proc/"$1"/status 2>/dev/null || echo 0; }

host_pid="" host_launcher=""
stop_host() {
  # The host was started with --no-input: SIGTERM stops it cleanly.
  if [ -n "$host_pid" ]; then
    kill "$host_pid" 2>/dev/null || true
  fi
  if [ -n "$host_launcher" ]; then
    wait "$host_launcher" 2>/dev/null || true
  fi
  host_pid="" host_launcher=""
}
trap stop_host EXIT

# start_host PLATFORM NAME [lumhost options]: starts lumhost on pipes of
# their own (named with NAME) and sets host_pid to the process that serves
# them (under Wine the process of lumhost.exe, found by its command line).
start_host() {
  local platform=$1 name=$2
  shift 2
  local base="lumsdk-perf-$name-$$"
  export LUMSDK_PIPE_BASE=$base
  if [ "$platform" = native ]; then
    build/linux/bin/lumhost --no-view --no-input --pipe-base "$base" "$@" >"$out/lumhost-$name.log" 2>&1 &
    host_launcher=$!
    host_pid=$host_launcher
  else
    scripts/wine-run build/windows/bin/lumhost.exe --no-view --no-input --pipe-base "$base" "$@" \
      >"$out/lumhost-$name.log" 2>&1 &
    host_launcher=$!
  fi
  for _ in $(seq 1 300); do
    grep -q "lumhost: serving" "$out/lumhost-$name.log" 2>/dev/null && break
    sleep 0.1
  done
  if ! grep -q "lumhost: serving" "$out/lumhost-$name.log"; then
    log "lumhost did not start:"
    cat "$out/lumhost-$name.log" >&2
    exit 1
  fi
  if [ "$platform" = wine ]; then
    host_pid=""
    local p
    for p in /proc/[0-9]*; do
      if { tr '\0' ' ' <"$p/cmdline"; } 2>/dev/null | grep -q "lumhost.exe.*--pipe-base $base"; then
        host_pid=${p#/proc/}
      fi
    done
    [ -n "$host_pid" ] || { log "cannot find the process of lumhost.exe"; exit 1; }
  fi
}

# host_phase FILE COMMAND...: runs one `frame_bench host ... --hold` and adds
# the host's CPU time over its run, read while the host still serves it, and
# the host's resident memory after it.
host_phase() {
  local file=$1 line before="" after=""
  shift
  coproc bench { "$@" --hold; }
  local from=${bench[0]} to=${bench[1]} pid=$bench_PID
  : >"$file"
  while IFS= read -r line <&"$from"; do
    line=${line%$'\r'}  # Windows programs end lines with CR LF
    echo "$line" >>"$file"
    if [ "$line" = "# ready" ]; then
      before=$(cpu_us "$host_pid")
      echo go >&"$to"
    elif [ "$line" = "# done" ]; then
      after=$(cpu_us "$host_pid")
      echo go >&"$to"
    fi
  done
  wait "$pid" || { log "frame_bench failed:"; cat "$file" >&2; exit 1; }
  [ -n "$before" ] && [ -n "$after" ] || { log "frame_bench did not run"; cat "$file" >&2; exit 1; }
  echo "host_cpu_us=$(awk -v a="$after" -v b="$before" 'BEGIN {printf "%.1f", a - b}')" >>"$file"
  echo "host_rss_kb=$(rss_kb "$host_pid")" >>"$file"
}

# run_platform PLATFORM: every run of one platform, into $out/PLATFORM-*.txt.
run_platform() {
  local platform=$1 run=() exe="" bin=build/linux/bin c=$canned f=$flat p=$paced
  if [ "$platform" = wine ]; then
    run=("$root/scripts/wine-run")
    exe=.exe bin=build/windows/bin c=$wine_canned f=$wine_flat p=$wine_paced
  fi
  log "$platform: frames against the canned peer (${c} s)"
  # Run from $out, so that the Windows program writes its samples there too.
  (cd "$out" && "${run[@]}" "$root/$bin/frame_bench$exe" canned "$c" --samples "$platform-samples.txt" \
    >"$platform-canned.txt")
  log "$platform: first calls"
  "${run[@]}" "$bin/api_bench$exe" --first-calls >"$out/$platform-first.txt"
  log "$platform: frames against lumhost"
  start_host "$platform" "$platform"
  echo "host_rss_kb=$(rss_kb "$host_pid")" >"$out/$platform-host-start.txt"
  # lumhost's own CPU with no client, the floor under the figures below.
  local before
  before=$(cpu_us "$host_pid")
  sleep "$idle"
  echo "idle_cpu_us=$(awk -v a="$(cpu_us "$host_pid")" -v b="$before" 'BEGIN {printf "%.1f", a - b}')" \
    >>"$out/$platform-host-start.txt"
  echo "idle_seconds=$idle" >>"$out/$platform-host-start.txt"
  host_phase "$out/$platform-host-set-flat.txt" "${run[@]}" "$bin/frame_bench$exe" host set 0 "$f"
  host_phase "$out/$platform-host-count-flat.txt" "${run[@]}" "$bin/frame_bench$exe" host count 0 "$f"
  host_phase "$out/$platform-host-set-paced.txt" "${run[@]}" "$bin/frame_bench$exe" host set "$rate" "$p"
  host_phase "$out/$platform-host-count-paced.txt" "${run[@]}" "$bin/frame_bench$exe" host count "$rate" "$p"
  stop_host
}

# --- runs ------------------------------------------------------------------
run_platform native

log "native: $scale_clients clients at $rate Hz against one lumhost (${scale} s)"
port=$((20000 + RANDOM % 20000))
token=$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')
start_host native scale --http "127.0.0.1:$port" --http-token "$token" --max-clients 64
echo "host_rss_kb=$(rss_kb "$host_pid")" >"$out/native-scale-start.txt"
build/linux/bin/scale_bench "$scale_clients" "$rate" "$scale" "$host_pid" "$port" "$token" \
  >"$out/native-scale.txt" || log "scale_bench reported failures (see $out/native-scale.txt)"
stop_host

if [ $wine = 1 ]; then
  export WINEPREFIX=${WINEPREFIX:-${TMPDIR:-/tmp}/lumsdk-perf-wine} WINEDEBUG=-all
  [ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
  # A wine server that outlives each program by 60 s, so that no run waits
  # for it to start; one still running from an earlier run (exit status 2)
  # serves as well.
  wineserver -p60 2>/dev/null || [ $? = 2 ]
  run_platform wine
fi

# --- the sheet -------------------------------------------------------------
log "writing docs/performance.md and docs/performance-latency.svg"
echo "elapsed_s=$SECONDS" >"$out/elapsed.txt"
# The system Python, where python3-matplotlib is installed.
/usr/bin/python3 scripts/perf-sheet.py "$out" docs/performance.md docs/performance-latency.svg
