#!/usr/bin/env bash
# Starts the stand-in host with its trace and a live SVG snapshot, lights the
# desk with the rainbow example for a few seconds, and stops the host with its
# "quit" command. Usage: scripts/demo-host.sh [preset] (default linux; the
# build must exist; "windows" runs the programs under Wine). Results in
# build/<preset>/: lumhost-demo.svg (the desk while the rainbow ran) and
# lumhost-demo.log (the host's trace).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-linux}
bin=build/$preset/bin
out=build/$preset
run=()
[ "$preset" = windows ] && run=(scripts/wine-run)
program() { if [ -e "$bin/$1.exe" ]; then echo "$bin/$1.exe"; else echo "$bin/$1"; fi; }
for name in lumhost rainbow; do
  if [ ! -e "$(program "$name")" ]; then
    echo "no $bin/$name: build first (cmake --preset $preset && cmake --build --preset $preset)"
    exit 1
  fi
done

work=$(mktemp -d)
mkfifo "$work/input"
"${run[@]}" "$(program lumhost)" --no-view --trace <"$work/input" >"$out/lumhost-demo.log" 2>&1 &
host=$!
exec 3>"$work/input"
trap 'exec 3>&- 2>/dev/null; wait $host 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 1 100); do
  grep -q "lumhost: serving" "$out/lumhost-demo.log" && break
  sleep 0.1
done

"${run[@]}" "$(program rainbow)" 3 &
app=$!
sleep 1.5
echo "snapshot $out/lumhost-demo.svg" >&3
wait $app
echo quit >&3
exec 3>&-
wait $host
echo "host trace: $out/lumhost-demo.log ($(wc -l <"$out/lumhost-demo.log") lines)"
echo "the desk while the rainbow ran: $out/lumhost-demo.svg"
