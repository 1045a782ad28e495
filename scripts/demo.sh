#!/usr/bin/env bash
# The demo: builds the library, the stand-in host and the examples (Linux),
# starts lumhost with its live view and its web page (on a free port; the
# address is printed), runs the device listing, the rainbow
# wave and the key-press example against it, and leaves an SVG snapshot of
# the desk in build/demo/desk.svg. On a fresh Debian 12 machine, run as root:
# missing packages are installed first. Exits 0 when every part worked, else
# non-zero with the reason.
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
host_pid=""
cleanup() {
  exec 3>&- 2>/dev/null || true
  if [ -n "$host_pid" ]; then kill "$host_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
"$bin/lumhost" $view --http 127.0.0.1:0 <"$work/input" | tee "$out/lumhost.log" &
host_pid=$!
exec 3>"$work/input"
for _ in $(seq 1 100); do
  grep -q "lumhost: serving" "$out/lumhost.log" 2>/dev/null && break
  sleep 0.1
done
if ! grep -q "lumhost: serving" "$out/lumhost.log" 2>/dev/null; then
  echo "demo: lumhost did not start serving (see $out/lumhost.log)" >&2
  exit 1
fi
# The address carries the page's token (new at each start): whoever opens it
# gets the page; without the token every request is refused.
page=$(grep -o 'the desk page is at http://[^ ]*' "$out/lumhost.log" | head -n 1 | cut -d' ' -f6)
case "$page" in
  *'?token='*) ;;
  *) echo "demo: lumhost printed no token in the page's address: $page" >&2; exit 1 ;;
esac
echo "demo: the live desk, clickable, while the demo runs: $page"

failed=()
"$bin/list_devices" >"$out/list_devices.log" 2>&1 || failed+=(list_devices)
# The rainbow runs while the key example lights pressed keys white on a
# higher layer; the host "types" HELLO and takes the snapshot meanwhile.
"$bin/rainbow" 5 >"$out/rainbow.log" 2>&1 &
rainbow_pid=$!
"$bin/key_light" 5 >"$out/key_light.log" 2>&1 &
key_pid=$!
sleep 1.5
for key in H E L O; do
  echo "press $key" >&3
  sleep 0.4
done
sleep 0.5
echo "snapshot $out/desk.svg" >&3
wait $rainbow_pid || failed+=(rainbow)
wait $key_pid || failed+=(key_light)
echo quit >&3
exec 3>&-
wait $host_pid || failed+=(lumhost)
host_pid=""

echo
cat "$out/list_devices.log" "$out/rainbow.log" "$out/key_light.log"
echo
if [ ! -s "$out/desk.svg" ]; then
  echo "demo: no snapshot was written to $out/desk.svg" >&2
  failed+=(snapshot)
else
  echo "snapshot of the desk: $out/desk.svg"
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "demo: these parts failed: ${failed[*]} (logs in $out/)" >&2
  exit 1
fi
echo "demo: done"
