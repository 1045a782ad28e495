#!/usr/bin/env bash
# The demo: builds the library, the stand-in host and the examples (Linux),
# starts lumhost with its live view, runs the device listing, the rainbow
# wave and the key-press example against it, and leaves an SVG snapshot of
# the desk in build/demo/desk.svg. On a fresh Debian 12 machine, run as root:
# missing packages are installed first.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

echo "== building"
cmake --preset linux >/dev/null
cmake --build --preset linux -j 2 --target lumhost list_devices rainbow key_light >/dev/null
bin=build/linux/bin
out=build/demo
mkdir -p "$out"
rm -f "$out/desk.svg"

view=--no-view
[ -t 1 ] && view=--view
work=$(mktemp -d)
mkfifo "$work/input"
"$bin/lumhost" $view <"$work/input" | tee "$out/lumhost.log" &
host_pid=$!
exec 3>"$work/input"
trap 'exec 3>&- 2>/dev/null; kill $host_pid 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 1 100); do
  grep -q "lumhost: serving" "$out/lumhost.log" 2>/dev/null && break
  sleep 0.1
done

"$bin/list_devices" >"$out/list_devices.log"
# The rainbow runs while the key example lights pressed keys white on a
# higher layer; the host "types" HELLO and takes the snapshot meanwhile.
"$bin/rainbow" 5 >"$out/rainbow.log" &
rainbow_pid=$!
"$bin/key_light" 5 >"$out/key_light.log" &
key_pid=$!
sleep 1.5
for key in H E L O; do
  echo "press $key" >&3
  sleep 0.4
done
sleep 0.5
echo "snapshot $out/desk.svg" >&3
wait $rainbow_pid $key_pid
echo quit >&3
exec 3>&-
wait $host_pid || true

echo
cat "$out/list_devices.log" "$out/rainbow.log" "$out/key_light.log"
echo
echo "snapshot of the desk: $out/desk.svg"
