#!/usr/bin/env bash
# Two instances of the POSIX build behind HAProxy (deploy/haproxy/vardex.cfg
# with loopback addresses), separate directories and logs, one shared data
# directory. The balancer connects from 127.0.0.2 with PROXY headers; the
# test's own clients connect from 127.0.0.3 (python) and 127.0.0.1 (vardex).
#   1. an upload cut off on one instance is resumed on the other and
#      verified there from the block digests the first one recorded, a
#      writer stalled on one instance is taken over through the other, and
#      an upload from 0 racing a running one on the other instance leaves
#      the file either its bytes or untouched, never a mix;
#   2. a download cut off on one instance is resumed on the other;
#   3. one instance SIGKILLed during a download is marked down by its health
#      check, and the client's rerun completes through the other;
#   4. the daily logs name the clients, never the balancer;
#   5. a stop with DrainSeconds lets a running download finish while /health
#      says 503; a plain stop cuts the same download;
#   6. a stop without DrainSeconds while an upload's last bytes wait for a
#      slow disk resets the connection: `vardex put` fails, and its rerun
#      resumes.
set -uo pipefail
source "$(dirname "$0")/common.bash"

require_posix_build
command -v haproxy >/dev/null || fail "no haproxy (scripts/packages)"

dir=$(mktemp -d /tmp/vardex-e2e-fleet.XXXXXX)
declare -A pid=()
cleanup() {
  local p
  for p in "${pid[@]}"; do kill -KILL "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

data=$dir/shared
mkdir -p "$data"
helper=$dir/helper.py
cat >"$helper" <<'PY'
"""Clients that stop part-way, a paced download, and the balancer's runtime API."""
import socket, struct, sys, time

def header(letters, size):
    return letters.encode().ljust(4, b"\0") + struct.pack("<i", size)

def body(**fields):
    return "".join("%s=%s\r\n" % (k, v) for k, v in fields.items()).encode()

def receive(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise SystemExit("connection closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data

def result(s):
    return struct.unpack("<i", receive(s, 8)[4:])[0]

def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=("127.0.0.3", 0))
    return s

def request_download(s, remote, size):
    s.sendall(header("DNLD", 0))
    assert result(s) == 0
    text = body(REMOTEFILENAME=remote, FILENO=1, USERNO=1, FILESIZE=size, FILEPOS=0)
    s.sendall(header("DL01", len(text)) + text)
    assert result(s) == 0

def request_upload_from_zero(s, remote, size):
    """Commits to an upload of SIZE bytes from position 0, whatever the offer."""
    s.sendall(header("UPLD", 0))
    assert result(s) == 0
    text = body(REMOTEFILENAME=remote, FILENO=1, USERNO=1, FILESIZE=size)
    s.sendall(header("UP01", len(text)) + text)
    assert result(s) == 0
    s.sendall(header("UP02", 0))
    receive(s, result(s))
    text = body(FILEPOS=0)
    s.sendall(header("UP03", len(text)) + text)
    assert result(s) == 0

def upload_part(port, local, remote, count, hold):
    """Uploads the first COUNT bytes of LOCAL from position 0, then closes,
    or with HOLD keeps the connection without sending until it is ended."""
    content = open(local, "rb").read()
    s = connect(port)
    request_upload_from_zero(s, remote, len(content))
    s.sendall(content[:count])
    time.sleep(120 if hold == "hold" else 0.5)
    s.close()

def paced_upload(port, local, remote, seconds):
    """Uploads LOCAL from position 0 whatever the offer, at a pace that takes
    SECONDS, then closes its sending side; prints how the server ended it:
    closed, refused CODE, or reset."""
    content = open(local, "rb").read()
    s = connect(port)
    try:
        request_upload_from_zero(s, remote, len(content))
        start = time.monotonic()
        for at in range(0, len(content), 65536):
            s.sendall(content[at:at + 65536])
            ahead = start + seconds * at / len(content) - time.monotonic()
            if ahead > 0:
                time.sleep(ahead)
        s.shutdown(socket.SHUT_WR)
        answer = s.recv(8)
    except OSError:
        print("reset")
        return
    print("closed" if not answer else "refused %d" % struct.unpack("<i", answer[4:8])[0])

def download_part(port, remote, size, local, count, hold):
    """Writes the first COUNT bytes of REMOTE to LOCAL, then closes, or with
    HOLD keeps the connection without reading until it is ended."""
    s = connect(port)
    request_download(s, remote, size)
    with open(local, "wb") as out:
        out.write(receive(s, count))
    if hold == "hold":
        time.sleep(120)
    s.close()

def paced_download(port, remote, size, local, seconds):
    """Reads REMOTE at a pace that takes SECONDS; prints the bytes received."""
    s = connect(port)
    request_download(s, remote, size)
    got = 0
    start = time.monotonic()
    with open(local, "wb") as out:
        while got < size:
            try:
                chunk = s.recv(min(65536, size - got))
            except OSError:
                break
            if not chunk:
                break
            out.write(chunk)
            got += len(chunk)
            ahead = start + seconds * got / size - time.monotonic()
            if ahead > 0:
                time.sleep(ahead)
    print(got)

def balancer(sock, command):
    s = socket.socket(socket.AF_UNIX)
    s.connect(sock)
    s.sendall(command.encode() + b"\n")
    answer = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        answer += chunk
    sys.stdout.write(answer.decode())

globals()[sys.argv[1]](*[int(a) if a.isdigit() else a for a in sys.argv[2:]])
PY
# Clients started in the background call timeout themselves rather than
# this function, so that $! is timeout, which passes a kill on to python.
helper() { timeout 60 python3 "$helper" "$@"; }
balancer() { helper balancer "$dir/haproxy.sock" "$*"; }

# server_status NAME: UP, DOWN, MAINT... as the balancer sees the instance.
server_status() {
  balancer "show stat" | awk -F, -v n="$1" '$1 == "vardex" && $2 == n { print $18 }'
}
# wait_status NAME STATUS SECONDS
wait_status() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    [[ "$(server_status "$1")" == "$2"* ]] && return 0
    sleep 0.1
  done
  return 1
}
health() { curl -s -o /dev/null -w '%{http_code}' --max-time 5 "http://127.0.0.1:$1/health"; }
metric() { curl -s --max-time 5 "http://127.0.0.1:$1/metrics" | awk -v m="$2" '$1 == m { print $2 }'; }

# start_instance NAME DRAIN: a directory of its own with the server, its
# ini and its log; ports in port[NAME] and status[NAME].
declare -A port=() status=()
start_instance() {
  local name=$1 drain=$2 i
  mkdir -p "$dir/$name"
  cp "$server" "$dir/$name/"
  port[$name]=$(free_port)
  status[$name]=$(free_port)
  printf '[Server]\nPort=%d\nRoot=%s\nProxyFrom=127.0.0.2\nDrainSeconds=%d\n[Status]\nPort=%d\n' \
    "${port[$name]}" "$data" "$drain" "${status[$name]}" >"$dir/$name/VardexServer.ini"
  "$dir/$name/VardexServer" >"$dir/$name/stdout" 2>"$dir/$name/stderr" &
  pid[$name]=$!
  for ((i = 0; i < 100; i++)); do
    [ "$(health "${status[$name]}")" = 200 ] && return 0
    sleep 0.1
  done
  fail "$name did not become healthy: $(log_of "$dir/$name")"
}

# A malformed ProxyFrom makes the start fail with a line naming key and value.
mkdir -p "$dir/bad"
cp "$server" "$dir/bad/"
printf '[Server]\nPort=%d\nProxyFrom=10.0.0.1/8\n' "$(free_port)" >"$dir/bad/VardexServer.ini"
timeout 20 "$dir/bad/VardexServer" >/dev/null 2>&1
[ $? -eq 1 ] || fail "a malformed ProxyFrom did not fail the start"
log_of "$dir/bad" | grep -qF 'Service Start Fail: [Server] ProxyFrom=10.0.0.1/8 is malformed' ||
  fail "no start failure line: $(log_of "$dir/bad")"

start_instance vardex1 0
start_instance vardex2 20
front=$(free_port)
sed -e '/^ *log \/dev\/log/d' \
  -e "s|stats socket [^ ]*|stats socket $dir/haproxy.sock|" \
  -e "s|bind :80|bind 127.0.0.1:$front|" \
  -e "s|source 10.0.0.5|source 127.0.0.2|" \
  -e "s|inter 2s|inter 500ms|" \
  -e "s|10.0.0.11:80 check port 9180|127.0.0.1:${port[vardex1]} check port ${status[vardex1]}|" \
  -e "s|10.0.0.12:80 check port 9180|127.0.0.1:${port[vardex2]} check port ${status[vardex2]}|" \
  "$repo/deploy/haproxy/vardex.cfg" >"$dir/haproxy.cfg"
haproxy -db -f "$dir/haproxy.cfg" >"$dir/haproxy.out" 2>&1 &
pid[haproxy]=$!
for ((i = 0; i < 50; i++)); do [ -S "$dir/haproxy.sock" ] && break; sleep 0.1; done
wait_status vardex1 UP 10 && wait_status vardex2 UP 10 || fail "balancer: $(cat "$dir/haproxy.out")"

# Only one instance in rotation, the other taken out by hand.
only() {
  local other=vardex1
  [ "$1" = vardex1 ] && other=vardex2
  balancer "set server vardex/$other state maint" >/dev/null
  balancer "set server vardex/$1 state ready" >/dev/null
  wait_status "$1" UP 10 || fail "$1 not up: $(server_status "$1")"
}
both() {
  balancer "set server vardex/vardex1 state ready" >/dev/null
  balancer "set server vardex/vardex2 state ready" >/dev/null
  wait_status vardex1 UP 10 && wait_status vardex2 UP 10 || fail "not both up"
}

# 1. Upload: 6 of 20 MiB through vardex1, the rest through vardex2.
head -c $((20 << 20)) /dev/urandom >"$dir/up.bin"
only vardex1
helper upload_part "$front" "$dir/up.bin" "$data/up.bin" $((6 << 20)) close || fail "partial upload"
wait_for_log "$dir/vardex1" "Upload Fail($data/up.bin)" 10 || fail "vardex1 did not end the upload: $(log_of "$dir/vardex1")"
cut_at=$(stat -c %s "$data/up.bin")
only vardex2
# Checked before the resume and after the last byte, or status 7.
"$client" put --quiet --verify=require --port "$front" 127.0.0.1 "$dir/up.bin" "$data/up.bin" || fail "resumed upload"
cmp -s "$dir/up.bin" "$data/up.bin" || fail "uploaded bytes differ"
received2=$(metric "${status[vardex2]}" vardex_received_bytes_total)
[ "$received2" -eq $((20 * 1048576 - cut_at)) ] || fail "vardex2 received $received2 bytes, cut at $cut_at"
# vardex1 recorded the digests of what it wrote: vardex2 read again at most
# the one 4 MiB block before the resume point.
read2=$(metric "${status[vardex2]}" vardex_digest_read_bytes_total)
[ "$read2" -le $((4 << 20)) ] || fail "vardex2 read $read2 bytes for the digests of the resume"
echo "upload: cut at $cut_at bytes on vardex1, vardex2 received the other $received2 and read $read2 for digests, verified, byte-exact"

# A writer stalled on vardex2 (its client silent, not gone) is taken over
# by a newer upload of the same file through vardex1.
head -c $((16 << 20)) /dev/urandom >"$dir/stalled.bin"
timeout 60 python3 "$helper" upload_part "$front" "$dir/stalled.bin" "$data/stalled.bin" $((4 << 20)) hold &
pid[stalled]=$!
for ((i = 0; i < 100; i++)); do
  [ "$(stat -c %s "$data/stalled.bin" 2>/dev/null)" = $((4 << 20)) ] && break
  sleep 0.1
done
[ "$(stat -c %s "$data/stalled.bin")" = $((4 << 20)) ] || fail "the stalled upload did not get going"
only vardex1
start=$(date +%s%N)
upload_file "$front" "$dir/stalled.bin" "$data/stalled.bin" || fail "upload over a stalled writer"
takeover_ms=$((($(date +%s%N) - start) / 1000000))
cmp -s "$dir/stalled.bin" "$data/stalled.bin" || fail "taken-over bytes differ"
wait_for_log "$dir/vardex2" "Upload Fail($data/stalled.bin)" 10 ||
  fail "the stalled writer did not end: $(log_of "$dir/vardex2")"
kill "${pid[stalled]}" 2>/dev/null
wait "${pid[stalled]}" 2>/dev/null
unset 'pid[stalled]'
echo "stalled writer: vardex2's writer ended, the upload through vardex1 took ${takeover_ms} ms, byte-exact"

# An upload from 0 through vardex2 while vardex1 still writes the file for
# an older one: the newer upload wins and the file is its bytes exactly, or
# it is refused and the file is what the older one wrote. Never a mix.
head -c $((16 << 20)) /dev/urandom >"$dir/race-old.bin"
head -c $((3 << 20)) /dev/urandom >"$dir/race-new.bin"
timeout 60 python3 "$helper" paced_upload "${port[vardex1]}" "$dir/race-old.bin" "$data/race.bin" 8 >"$dir/race-old.out" &
pid[race]=$!
for ((i = 0; i < 100; i++)); do
  [ "$(stat -c %s "$data/race.bin" 2>/dev/null || echo 0)" -ge $((2 << 20)) ] && break
  sleep 0.1
done
newer=$(helper paced_upload "${port[vardex2]}" "$dir/race-new.bin" "$data/race.bin" 1)
wait "${pid[race]}"
unset 'pid[race]'
wait_for_log "$dir/vardex1" "Upload Fail($data/race.bin)" 10 || fail "the older upload did not end: $(log_of "$dir/vardex1")"
case $newer in
  closed)
    wait_for_log "$dir/vardex2" "Upload Complete($data/race.bin)" 10 || fail "race: $(log_of "$dir/vardex2")"
    cmp -s "$dir/race-new.bin" "$data/race.bin" || fail "the file is not the newer upload's bytes" ;;
  "refused 10")
    cmp -s -n "$(stat -c %s "$data/race.bin")" "$dir/race-old.bin" "$data/race.bin" ||
      fail "a refused upload changed the file" ;;
  *) fail "the newer upload ended with '$newer'" ;;
esac
echo "race from 0: the newer upload $newer, the older one $(cat "$dir/race-old.out"), the file $(stat -c %s "$data/race.bin") bytes, no mix"

# 2. Download: the first 5 MiB through vardex2, the rest through vardex1.
head -c $((24 << 20)) /dev/urandom >"$data/down.bin"
only vardex2
helper download_part "$front" "$data/down.bin" $((24 << 20)) "$dir/down.bin" $((5 << 20)) close ||
  fail "partial download"
only vardex1
sent1_before=$(metric "${status[vardex1]}" vardex_sent_bytes_total)
download_file "$front" "$data/down.bin" "$dir/down.bin" || fail "resumed download"
cmp -s "$data/down.bin" "$dir/down.bin" || fail "downloaded bytes differ"
sent1=$(($(metric "${status[vardex1]}" vardex_sent_bytes_total) - sent1_before))
[ "$sent1" -eq $((19 << 20)) ] || fail "vardex1 sent $sent1 bytes for the resume"
echo "download: 5242880 bytes through vardex2, vardex1 sent the other $sent1, byte-exact"

# 3. vardex1 SIGKILLed while it serves a download held by its client.
only vardex1
timeout 60 python3 "$helper" download_part "$front" "$data/down.bin" $((24 << 20)) "$dir/killed.bin" $((3 << 20)) hold &
pid[holder]=$!
for ((i = 0; i < 100; i++)); do
  [ "$(metric "${status[vardex1]}" vardex_open_connections)" = 1 ] && [ -s "$dir/killed.bin" ] && break
  sleep 0.1
done
[ "$(stat -c %s "$dir/killed.bin" 2>/dev/null)" = $((3 << 20)) ] || fail "the held download did not start"
both
killed_at=$(date +%s%N)
kill -KILL "${pid[vardex1]}"
wait "${pid[vardex1]}" 2>/dev/null
unset 'pid[vardex1]'
wait_status vardex1 DOWN 10 || fail "vardex1 not marked down: $(server_status vardex1)"
down_ms=$((($(date +%s%N) - killed_at) / 1000000))
kill "${pid[holder]}" 2>/dev/null
wait "${pid[holder]}" 2>/dev/null
unset 'pid[holder]'
download_file "$front" "$data/down.bin" "$dir/killed.bin" || fail "rerun after the kill"
cmp -s "$data/down.bin" "$dir/killed.bin" || fail "rerun bytes differ"
echo "kill: vardex1 marked down ${down_ms} ms after SIGKILL; the rerun resumed at 3145728 through vardex2, byte-exact"

# 4. The clients' addresses, never the balancer's.
log_of "$dir/vardex1" | grep -q '^[0-9:]*  127\.0\.0\.3-doUpload: ' || fail "vardex1 log: $(log_of "$dir/vardex1")"
log_of "$dir/vardex2" | grep -q '^[0-9:]*  127\.0\.0\.1-doUpload: Upload Complete' ||
  fail "vardex2 log: $(log_of "$dir/vardex2")"
log_of "$dir/vardex2" | grep -q '^[0-9:]*  127\.0\.0\.3-doDownload(): failed' || fail "vardex2 log: $(log_of "$dir/vardex2")"
cat "$dir"/vardex*/Log/*.log | grep -q '127\.0\.0\.2' && fail "a log names the balancer: $(cat "$dir"/vardex*/Log/*.log)"
echo "logs: client addresses 127.0.0.1 and 127.0.0.3 only"

# 5. Drain: vardex2 (DrainSeconds=20) stopped during a 4-second download.
truncate -s 64M "$data/paced.bin"
timeout 60 python3 "$helper" paced_download "$front" "$data/paced.bin" $((64 << 20)) "$dir/paced.bin" 4 >"$dir/paced.count" &
pid[paced]=$!
sleep 1
stop_at=$(date +%s%N)
kill -TERM "${pid[vardex2]}"
sleep 0.5
code=$(health "${status[vardex2]}")
[ "$code" = 503 ] || fail "health during the drain: $code"
wait "${pid[paced]}"
unset 'pid[paced]'
[ "$(cat "$dir/paced.count")" = $((64 << 20)) ] || fail "drained download got $(cat "$dir/paced.count") bytes"
wait "${pid[vardex2]}"
code=$?
unset 'pid[vardex2]'
drain_ms=$((($(date +%s%N) - stop_at) / 1000000))
[ "$code" -eq 0 ] || fail "vardex2 exit code $code"
log_of "$dir/vardex2" | tail -1 | grep -qx '[0-9:]*  Service Stoped' || fail "vardex2 log: $(log_of "$dir/vardex2")"
echo "drain: /health 503 at once, the download finished (67108864 bytes), stop completed after ${drain_ms} ms"

# The same download against an instance without DrainSeconds is cut.
start_instance plain 0
timeout 60 python3 "$helper" paced_download "${port[plain]}" "$data/paced.bin" $((64 << 20)) "$dir/plain.bin" 4 >"$dir/plain.count" 2>/dev/null &
pid[paced]=$!
sleep 1
kill -TERM "${pid[plain]}"
wait "${pid[plain]}"
unset 'pid[plain]'
wait "${pid[paced]}"
unset 'pid[paced]'
[ "$(cat "$dir/plain.count")" -lt $((64 << 20)) ] || fail "a plain stop did not cut the download"
echo "plain stop: the same download was cut at $(cat "$dir/plain.count") bytes"

# 6. An instance whose disk takes three seconds for each flush (longer than
# the stop takes), stopped without DrainSeconds while `vardex put` waits for
# its last bytes to reach the disk.
cat >"$dir/slowflush.c" <<'C'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <unistd.h>
int fdatasync(int fd) {
  sleep(3);
  return ((int (*)(int))dlsym(RTLD_NEXT, "fdatasync"))(fd);
}
C
cc -shared -fPIC -o "$dir/slowflush.so" "$dir/slowflush.c" -ldl || fail "cannot build the slow-flush library"
head -c $((3 << 20)) /dev/urandom >"$dir/put.bin"
LD_PRELOAD=$dir/slowflush.so ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 start_instance slow 0
"$client" put --quiet --port "${port[slow]}" 127.0.0.1 "$dir/put.bin" "$data/put.bin" 2>"$dir/put.err" &
pid[put]=$!
# Every byte received, the last ones still on their way to the disk: the
# client has sent all and waits for the end.
for ((i = 0; i < 200; i++)); do
  [ "$(metric "${status[slow]}" vardex_received_bytes_total)" = $((3 << 20)) ] && break
  sleep 0.1
done
[ "$(metric "${status[slow]}" vardex_received_bytes_total)" = $((3 << 20)) ] || fail "the slow instance did not receive the upload"
kill -TERM "${pid[slow]}"
wait "${pid[slow]}"
unset 'pid[slow]'
wait "${pid[put]}"
code=$?
unset 'pid[put]'
on_disk=$(stat -c %s "$data/put.bin")
[ "$code" -ne 0 ] || fail "vardex put exited 0 with $on_disk of 3145728 bytes on disk"
log_of "$dir/slow" | grep -qF "Upload Complete($data/put.bin)" && fail "the stopped upload was logged complete"
start_instance resumed 0
upload_file "${port[resumed]}" "$dir/put.bin" "$data/put.bin" || fail "rerun of the stopped upload"
cmp -s "$dir/put.bin" "$data/put.bin" || fail "resumed upload bytes differ"
echo "stop during a slow flush: vardex put exited $code ($(head -c 200 "$dir/put.err")), $on_disk bytes on disk; the rerun completed byte-exact"
echo "PASS: fleet-haproxy"
