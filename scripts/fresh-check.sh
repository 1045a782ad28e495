#!/usr/bin/env bash
# The fresh-machine check: a minimal Debian 12 root (debootstrap minbase),
# a clone of this repository's HEAD in it, then the README's two commands,
# ./scripts/test.sh and ./scripts/demo.sh, run inside it as root. Proves that
# the scripts install everything they need: on a developer's machine,
# packages installed by hand would hide a missing install step.
#
#   sudo scripts/fresh-check.sh [--rebuild-base] [--keep] [DIR]
#
# DIR (default /var/tmp/lumsdk-fresh) holds the root. The pristine root is
# made once and kept as DIR.base.tar; every run starts from a fresh copy of
# it (--rebuild-base makes it anew). --keep leaves the used root in place for
# a look inside afterwards. Needs root, network access to the Debian mirror
# and about 6 GB of disk; takes 15 to 30 minutes. Logs: DIR.test.log and
# DIR.demo.log. Exits 0 when both commands succeeded.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
rebuild=0 keep=0 dir=/var/tmp/lumsdk-fresh
while [ $# -gt 0 ]; do
  case $1 in
    --rebuild-base) rebuild=1 ;;
    --keep) keep=1 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) dir=$1 ;;
  esac
  shift
done
[ "$(id -u)" -eq 0 ] || { echo "fresh-check: run as root (debootstrap and chroot need it)" >&2; exit 2; }
command -v debootstrap >/dev/null ||
  { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null; }

base=$dir.base.tar
if [ $rebuild -eq 1 ] || [ ! -s "$base" ]; then
  echo "== fresh-check: debootstrap a minimal Debian 12 root"
  rm -rf "$dir.base"
  debootstrap --variant=minbase bookworm "$dir.base" http://deb.debian.org/debian >"$dir.debootstrap.log"
  # What a Debian 12 machine has: the release, its updates and security.
  cat >"$dir.base/etc/apt/sources.list" <<'EOF'
deb http://deb.debian.org/debian bookworm main
deb http://deb.debian.org/debian bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
EOF
  tar -C "$dir.base" -cf "$base" .
  rm -rf "$dir.base"
fi

mounts=()
cleanup() {
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[$i]}" 2>/dev/null || true; done
  [ $keep -eq 1 ] || rm -rf "$dir"
}
trap cleanup EXIT
mount_into() {  # type-or-bind source target
  mkdir -p "$3"
  if [ "$1" = bind ]; then mount --rbind "$2" "$3"; mount --make-rslave "$3"; else mount -t "$1" "$2" "$3"; fi
  mounts+=("$3")
}

echo "== fresh-check: a fresh root in $dir"
rm -rf "$dir"
mkdir -p "$dir"
tar -C "$dir" -xf "$base"
cp /etc/resolv.conf "$dir/etc/resolv.conf"
# debootstrap leaves /etc/hosts to the installer; an installed system has it.
[ -e "$dir/etc/hosts" ] || printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$dir/etc/hosts"
mount_into proc proc "$dir/proc"
mount_into bind /sys "$dir/sys"
mount_into bind /dev "$dir/dev"
mount_into tmpfs tmpfs "$dir/tmp"

echo "== fresh-check: clone of $(git -C "$repo" rev-parse --short HEAD)"
git clone -q "file://$repo" "$dir/root/lumsdk"

inside() {  # log command
  local log=$1; shift
  chroot "$dir" /usr/bin/env -i HOME=/root TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /root/lumsdk && $*" >"$log" 2>&1
}
status=0
echo "== fresh-check: ./scripts/test.sh (log: $dir.test.log)"
if inside "$dir.test.log" ./scripts/test.sh; then test_result=passed; else test_result=FAILED; status=1; fi
sed -n '/^== summary/,$p' "$dir.test.log"
echo "== fresh-check: ./scripts/demo.sh (log: $dir.demo.log)"
if inside "$dir.demo.log" ./scripts/demo.sh; then demo_result=passed; else demo_result=FAILED; status=1; fi
tail -n 3 "$dir.demo.log"
echo
echo "fresh-check: test command $test_result, demo command $demo_result"
exit $status
