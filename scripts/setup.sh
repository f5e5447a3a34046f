#!/usr/bin/env bash
# Installs what is missing of scripts/packages on a Debian machine.
# (scripts/test.sh prepares the Wine prefix of its own.)
set -euo pipefail
cd "$(dirname "$0")/.."

read -r -a packages <<< "$(grep -v '^#' scripts/packages | tr '\n' ' ')"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y "${missing[@]}"
fi
