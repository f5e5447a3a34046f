#!/usr/bin/env bash
# Download throughput over loopback: the release server serving a 1 GiB file
# from the page cache, against a bare sendfile() server and a bare
# 16000-byte read()+send() server of the same file. Prints MB/s and ratios.
#   bench/download.sh            (RUNS=3 by default, best run counts)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${RUNS:-3}"

cmake -S . -B build/bench-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARDEX_WERROR=ON -DVARDEX_TESTS=OFF >/dev/null
cmake --build build/bench-release -j2 --target VardexServer bench_client

work="$(mktemp -d /tmp/vardex-bench.XXXXXX)"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

file="$work/data-1GiB.bin"
head -c 1073741824 /dev/urandom >"$file"
cat "$file" >/dev/null  # into the page cache

port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
cp build/bench-release/VardexServer "$work/"
printf '[Server]\r\nPort=%s\r\n' "$port" >"$work/VardexServer.ini"
"$work/VardexServer" >"$work/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  grep -q listening "$work/server.out" 2>/dev/null && break
  sleep 0.1
done
grep -q listening "$work/server.out" || { cat "$work/server.out"; exit 1; }

client=build/bench-release/bench/bench_client
"$client" vardex "$port" "$file" "$runs" | tee "$work/vardex.txt"
"$client" readsend "$file" "$runs" | tee "$work/readsend.txt"
"$client" sendfile "$file" "$runs" | tee "$work/sendfile.txt"

best() { awk '/best/ { print $3 }' "$1"; }
vardex="$(best "$work/vardex.txt")"
readsend="$(best "$work/readsend.txt")"
sendfile="$(best "$work/sendfile.txt")"
echo
echo "server (DL01, 16000-byte blocks): $vardex MB/s"
echo "bare read()+send(), 16000 bytes:  $readsend MB/s"
echo "bare sendfile():                  $sendfile MB/s"
awk -v v="$vardex" -v r="$readsend" -v s="$sendfile" \
  'BEGIN { printf "server / read+send: %.2f   server / sendfile: %.2f\n", v / r, v / s }'
