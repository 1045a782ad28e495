#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need,
# when any is missing (as root on Debian 12), then checks that every command
# the scripts run is there. Stops with a message naming the missing command
# and its package.
set -euo pipefail

# command -> the package that provides it. Every command the scripts and the
# tests call is listed here, so a fresh machine fails here, by name, rather
# than halfway through a test run.
commands=(
  cmake:cmake ctest:cmake cpack:cmake ninja:ninja-build
  gcc:gcc g++:g++ clang:clang clang++:clang lld-link:lld llvm-dlltool:llvm
  objdump:binutils pkg-config:pkg-config
  x86_64-w64-mingw32-gcc-posix:gcc-mingw-w64-x86-64-posix
  x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix
  x86_64-w64-mingw32-windres:binutils-mingw-w64-x86-64
  x86_64-w64-mingw32-objdump:binutils-mingw-w64-x86-64
  x86_64-w64-mingw32-objcopy:binutils-mingw-w64-x86-64
  x86_64-w64-mingw32-strip:binutils-mingw-w64-x86-64
  x86_64-w64-mingw32-dlltool:binutils-mingw-w64-x86-64
  wine:wine wineserver:wine wineboot:wine
  /usr/bin/python3:python3 chromium:chromium chromedriver:chromium-driver
  mcs:mono-devel mono:mono-devel
)
# Libraries and modules that no command stands for.
libraries=(libgtest-dev libgmock-dev googletest libbenchmark-dev nlohmann-json3-dev rapidjson-dev
           python3-pytest python3-setuptools python3-venv python3-wheel python3-selenium
           python3-matplotlib libasio-dev libwebsocketpp-dev)

packages=("${libraries[@]}")
for entry in "${commands[@]}"; do packages+=("${entry#*:}"); done
missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install these packages (apt-get install ${missing[*]})" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

status=0
for entry in "${commands[@]}"; do
  cmd=${entry%%:*} package=${entry#*:}
  if ! command -v "$cmd" >/dev/null 2>&1; then
    echo "install-deps: the command '$cmd' is missing; it comes with the Debian package '$package'" >&2
    status=1
  fi
done
# The browser test's driver is reached as "localhost".
if ! getent hosts localhost >/dev/null; then
  echo "install-deps: the name 'localhost' does not resolve; add '127.0.0.1 localhost' to /etc/hosts" >&2
  status=1
fi
exit $status
