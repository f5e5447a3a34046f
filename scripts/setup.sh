#!/usr/bin/env bash
# Installs everything both builds and the tests need on a fresh Debian
# machine. (scripts/test.sh prepares the Wine prefix of its own.)
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  googletest libgtest-dev libgmock-dev libcli11-dev
  libcurl4-openssl-dev libsystemd-dev
  g++-mingw-w64-x86-64-posix wine64
  python3 curl
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y "${missing[@]}"
fi
