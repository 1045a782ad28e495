#!/usr/bin/env bash
# Starts the stand-in host with a live SVG snapshot and lights the desk with
# the rainbow example for a few seconds. Usage: scripts/demo-host.sh [preset]
# (default linux; the build must exist). The picture ends up in
# build/<preset>/lumhost-demo.svg.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-linux}
bin=build/$preset/bin
svg=build/$preset/lumhost-demo.svg
run=()
[ "$preset" = windows ] && run=(scripts/wine-run)
for program in lumhost rainbow; do
  if [ ! -e "$bin/$program" ] && [ ! -e "$bin/$program.exe" ]; then
    echo "no $bin/$program: build first (cmake --preset $preset && cmake --build --preset $preset)"
    exit 1
  fi
done
exe() { if [ -e "$bin/$1.exe" ]; then echo "$bin/$1.exe"; else echo "$bin/$1"; fi; }

"${run[@]}" "$(exe lumhost)" --no-input --no-view --trace --snapshot "$svg" > "build/$preset/lumhost-demo.log" 2>&1 &
host=$!
trap 'kill -INT $host 2>/dev/null || true; wait $host 2>/dev/null || true' EXIT
sleep 1
"${run[@]}" "$(exe rainbow)" 3 &
app=$!
sleep 2
cp "$svg" "build/$preset/lumhost-demo-running.svg"
wait $app
echo "host log: build/$preset/lumhost-demo.log ($(wc -l < "build/$preset/lumhost-demo.log") lines)"
echo "picture taken while the rainbow ran: build/$preset/lumhost-demo-running.svg"
