#!/usr/bin/env bash
# The POSIX build as systemd runs it: in the foreground, telling readiness
# and stopping through the notification socket, serving transfers, stopped
# by SIGTERM after its 2-second drain even while a download is still
# sending, extending the unit's stop time-out every second of the drain,
# with "Service Stoped" in its log and exit code 0; started again at once,
# it binds both ports, though the first run's closed connections linger
# there. SIGHUP reads [Access] again: downloads refused from then on, two
# refusals ban the client (GET /bans, the metrics), and a malformed section
# keeps those rules. A malformed BindAddress refuses the start with exit
# code 1.
set -uo pipefail
source "$(dirname "$0")/common.bash"

require_posix_build

dir=$(mktemp -d /tmp/vardex-e2e-posix.XXXXXX)
server_pid=
stalled_pid=
notify_pid=
cleanup() {
  [ -n "$stalled_pid" ] && kill "$stalled_pid" 2>/dev/null
  [ -n "$notify_pid" ] && kill "$notify_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

port=$(free_port)
status_port=$(free_port)
mkdir -p "$dir/files"
cp "$server" "$dir/"
printf '[Server]\nPort=%d\nDrainSeconds=2\n[Status]\nPort=%d\n' "$port" "$status_port" >"$dir/VardexServer.ini"
head -c 300000 /dev/urandom >"$dir/files/small.bin"
truncate -s 200M "$dir/files/big.bin"

# The notification socket systemd would pass, kept by a listener that
# writes down every message.
python3 - "$dir/notify" "$dir/notices" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
while True:
    with open(sys.argv[2], "ab") as out:
        out.write(s.recv(4096) + b"\n")
PY
notify_pid=$!
for ((i = 0; i < 50; i++)); do [ -S "$dir/notify" ] && break; sleep 0.1; done

NOTIFY_SOCKET=$dir/notify "$dir/VardexServer" >"$dir/stdout" 2>"$dir/stderr" &
server_pid=$!
wait_for_log "$dir" "Service Start Success" 10 || fail "no start: $(log_of "$dir")"

handshake "$port" || fail "handshake"
health() { curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$status_port/health"; }
[ "$(health)" = 200 ] || fail "/health: $(health)"
download_file "$port" "$dir/files/small.bin" "$dir/fetched.bin" || fail "download"
cmp -s "$dir/files/small.bin" "$dir/fetched.bin" || fail "downloaded bytes differ"
upload_file "$port" "$dir/fetched.bin" "$dir/files/uploaded.bin" || fail "upload"
cmp -s "$dir/files/small.bin" "$dir/files/uploaded.bin" || fail "uploaded bytes differ"

start_stalled_download "$port" "$dir/files/big.bin" $((200 * 1024 * 1024))
sleep 1
kill -0 "$stalled_pid" 2>/dev/null || fail "the stalled download did not get going"

start=$(date +%s%N)
kill -TERM "$server_pid"
for ((i = 0; i < 110; i++)); do
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$server_pid" 2>/dev/null && fail "still running 11 s after SIGTERM"
wait "$server_pid"
status=$?
server_pid=
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
[ "$status" -eq 0 ] || fail "exit code $status; stderr: $(cat "$dir/stderr")"
log_of "$dir" | grep -qx '[0-9:]*  Service Stoped' || fail "no 'Service Stoped': $(log_of "$dir")"
echo "stopped in ${elapsed_ms} ms with a download in progress"
# Ready, then stopping with a longer stop time-out once when the stop
# begins and again each second of the drain.
notices=$(cat "$dir/notices" 2>/dev/null)
stopping=$'\nSTOPPING=1\nEXTEND_TIMEOUT_USEC=60000000'
[[ "$notices" =~ ^READY=1($stopping){2,}$ ]] ||
  fail "notifications: $notices"
log_of "$dir" | grep -q 'Service Drain: [0-9]* connections still open after 2 s' || fail "no drain: $(log_of "$dir")"

"$dir/VardexServer" >"$dir/stdout" 2>"$dir/stderr" &
server_pid=$!
for ((i = 0; i < 100; i++)); do
  [ "$(log_of "$dir" | grep -c 'Service Start Success')" -eq 2 ] && break
  sleep 0.1
done
[ "$(log_of "$dir" | grep -c 'Service Start Success')" -eq 2 ] || fail "no restart: $(log_of "$dir")"
[ "$(health)" = 200 ] || fail "/health after the restart: $(health)"

access() { printf '[Server]\nPort=%d\n[Status]\nPort=%d\n[Access]\n%s\n' "$port" "$status_port" "$1" >"$dir/VardexServer.ini"; }
access $'DownloadFrom=192.0.2.1\nBanAfter=2'
kill -HUP "$server_pid"
wait_for_log "$dir" "Reload: the access rules were reloaded" 10 || fail "no reload: $(log_of "$dir")"
for attempt in 1 2; do
  download_file "$port" "$dir/files/small.bin" "$dir/refused.bin" 2>/dev/null && fail "download $attempt after the reload"
done
wait_for_log "$dir" "127.0.0.1-Ban: banned for 600 s, 2 bad events within 60 s" 10 || fail "no ban: $(log_of "$dir")"
bans=$(curl -s "http://127.0.0.1:$status_port/bans")
[[ "$bans" =~ ^\[\{\"address\":\"127.0.0.1\",\"until\":\"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z\",\"events\":2\}\]$ ]] ||
  fail "/bans: $bans"
echo "GET /bans: $bans"
metrics=$(curl -s "http://127.0.0.1:$status_port/metrics")
for line in 'vardex_banned_addresses 1' 'vardex_access_refused_total{reason="list"} 2'; do
  grep -qxF "$line" <<<"$metrics" || fail "no '$line' in /metrics"
done
handshake "$port" 2>/dev/null && fail "handshake from a banned address"
access 'BanAfter=two'
kill -HUP "$server_pid"
wait_for_log "$dir" "Reload: [Access] BanAfter=two is malformed, the access rules stay as they were" 10 ||
  fail "malformed reload: $(log_of "$dir")"
handshake "$port" 2>/dev/null && fail "handshake from a banned address after a malformed reload"
grep -qxF 'vardex_access_refused_total{reason="banned"} 2' <<<"$(curl -s "http://127.0.0.1:$status_port/metrics")" ||
  fail "banned connections not counted"
kill -0 "$server_pid" 2>/dev/null || fail "ended by SIGHUP"
kill -TERM "$server_pid"
wait "$server_pid"
server_pid=

# Without systemd, installing is refused with the install failure message.
if [ ! -d /run/systemd/system ]; then
  "$dir/VardexServer" /install /silent >"$dir/install.out" 2>"$dir/install.err"
  status=$?
  [ "$status" -eq 1 ] || fail "install without systemd: exit code $status"
  grep -q 'Service "VardexServer" failed to install with error: "System Error.  Code: ' "$dir/install.err" ||
    fail "install without systemd: $(cat "$dir/install.err")"
fi
# A typo in BindAddress must not serve every interface: the start fails,
# naming the key and the value in the log and on standard error.
printf '[Server]\nPort=%d\nBindAddress=127.0.0.300\n' "$port" >"$dir/VardexServer.ini"
timeout 20 "$dir/VardexServer" >"$dir/stdout" 2>"$dir/stderr"
status=$?
refusal='Service Start Fail: [Server] BindAddress=127.0.0.300 is not a list of IPv4 or IPv6 addresses'
[ "$status" -eq 1 ] || fail "malformed BindAddress: exit code $status"
grep -qF "$refusal" "$dir/stderr" || fail "malformed BindAddress: stderr $(cat "$dir/stderr")"
log_of "$dir" | grep -qF "$refusal" || fail "malformed BindAddress: $(log_of "$dir")"

echo "PASS: service-posix"
