#!/usr/bin/env bash
# Upload throughput over loopback: the release server receiving 1 GiB from
# position 0 (every block written and flushed with fdatasync), against a bare
# disk writer of the same bytes in 16000-byte blocks with fdatasync after
# each. Prints MB/s and the ratio.
#   bench/upload.sh              (BYTES=1073741824 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
bytes="${BYTES:-1073741824}"
werror="${WERROR:-ON}"  # WERROR=OFF measures a tree with a stray warning

cmake -S . -B build/bench-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARDEX_WERROR="$werror" -DVARDEX_TESTS=OFF >/dev/null
cmake --build build/bench-release -j2 --target VardexServer upload_bench

# The files must land on the machine's disk: a tmpfs would measure memory.
base="${TMPDIR:-/tmp}"
if [ "$(df --output=fstype "$base" | tail -1)" = tmpfs ]; then base="$PWD/build/bench-release"; fi
work="$(mktemp -d "$base/vardex-upload-bench.XXXXXX")"
echo "working in $work ($(df --output=source,fstype "$work" | tail -1))"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
cp build/bench-release/VardexServer "$work/"
printf '[Server]\r\nPort=%s\r\n' "$port" >"$work/VardexServer.ini"
"$work/VardexServer" >"$work/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  grep -qs "Service Start Success" "$work"/Log/*.log && break
  sleep 0.1
done
grep -qs "Service Start Success" "$work"/Log/*.log || { cat "$work/server.out" "$work"/Log/*.log; exit 1; }

client=build/bench-release/bench/upload_bench
mkdir "$work/in"
"$client" upload "$port" "$work/in/upload.bin" "$bytes" | tee "$work/upload.txt"
"$client" disk "$work/reference.bin" "$bytes" | tee "$work/disk.txt"
cmp "$work/in/upload.bin" "$work/reference.bin" || { echo "uploaded bytes differ from the reference"; exit 1; }

rate() { awk '{ print $6 }' "$1"; }
upload="$(rate "$work/upload.txt")"
disk="$(rate "$work/disk.txt")"
echo
echo "server (UP01..UP03, flush per block): $upload MB/s"
echo "bare write()+fdatasync(), 16000 B:    $disk MB/s"
awk -v u="$upload" -v d="$disk" 'BEGIN { printf "server / disk reference: %.2f\n", u / d }'
