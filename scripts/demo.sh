#!/usr/bin/env bash
# Sets everything up, builds the release server and runs it in the
# foreground on a demo configuration (port 8080, files under demo/), until
# Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
# Only what the demo runs: the test programs, GoogleTest and the benchmark
# driver would add minutes to a first start.
cmake --build --preset release --target VardexServer vardex

demo=build/demo
mkdir -p "$demo/files"
cp build/release/VardexServer "$demo/"
# Clients may use the files directory only.
printf '[Server]\nPort=8080\nRoot=%s\n' "$(pwd)/$demo/files" > "$demo/VardexServer.ini"
[ -f "$demo/files/hello.txt" ] || echo "Hello from VardexServer" > "$demo/files/hello.txt"
echo "Serving on port 8080; log files in $demo/Log; try downloading $(pwd)/$demo/files/hello.txt"
exec "$demo/VardexServer"
