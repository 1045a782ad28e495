#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# any is missing (as root on Debian 12).
set -euo pipefail
packages=(cmake ninja-build g++ clang libgtest-dev libgmock-dev googletest libbenchmark-dev
          g++-mingw-w64-x86-64-posix wine64 nlohmann-json3-dev rapidjson-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
