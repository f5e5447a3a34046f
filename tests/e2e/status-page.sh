#!/usr/bin/env bash
# The status page in a real browser: the POSIX build serves a paced upload
# and a paced download; headless Chromium opens the status port's page, sees
# both rows appear and the upload's position advance; the upload is cut
# through POST /transfers/ID/cut with the token, its row goes while the
# download's stays, and the log tells the cut and the upload's early end.
# A cut without the token is refused. The page's screenshot is saved as
# build/status-page.png. Then the same with the Windows build under Wine
# (its /console run), whose screenshot is build/status-page-windows.png.
set -uo pipefail
source "$(dirname "$0")/common.bash"
export WINEDEBUG=-all

windows=${1:-}
if [ "$windows" = windows ]; then
  server=$windows_build/VardexServer.exe
  [ -f "$server" ] || fail "no $server (build it first)"
  run_server() { exec wine "$dir/VardexServer.exe" /console </dev/null >"$dir/wine.out" 2>&1; }
  # Wine maps the POSIX root to drive Z:.
  server_path() { echo "Z:${1//\//\\}"; }
  screenshot=$repo/build/status-page-windows.png
else
  server=$posix_build/VardexServer
  [ -x "$server" ] || fail "no $server (build it first)"
  run_server() { exec "$dir/VardexServer" >"$dir/stdout" 2>"$dir/stderr"; }
  server_path() { echo "$1"; }
  screenshot=$repo/build/status-page.png
fi
browser_python=/usr/bin/python3  # Debian's, which has python3-selenium
"$browser_python" -c 'import selenium' 2>/dev/null && [ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ] ||
  fail "needs chromium, chromium-driver and python3-selenium (scripts/packages)"

dir=$(mktemp -d /tmp/vardex-e2e-page.XXXXXX)
server_pid=
uploader_pid=
downloader_pid=
cleanup() {
  [ -n "$uploader_pid" ] && kill "$uploader_pid" 2>/dev/null
  [ -n "$downloader_pid" ] && kill "$downloader_pid" 2>/dev/null
  if [ -n "$server_pid" ]; then
    # Under Wine, Ctrl+C is the console run's stop; killing the launcher
    # would leave the program running.
    [ -n "$windows" ] && kill -INT "$server_pid" 2>/dev/null && wait_for_log "$dir" "Service Stoped" 15
    { kill -KILL "$server_pid"; wait "$server_pid"; } 2>/dev/null
  fi
  rm -rf "$dir"
}
trap cleanup EXIT

port=$(free_port)
status_port=$(free_port)
token=e2e-$RANDOM$RANDOM
mkdir -p "$dir/files/incoming"
cp "$server" "$dir/"
printf '[Server]\r\nPort=%d\r\n[Status]\r\nPort=%d\r\nToken=%s\r\n' "$port" "$status_port" "$token" >"$dir/VardexServer.ini"
truncate -s 160M "$dir/files/release-2026.iso"
upload_name=$(server_path "$dir/files/incoming/camera-footage.mp4")

run_server &
server_pid=$!
wait_for_log "$dir" "Service Start Success" 30 || fail "no start: $(log_of "$dir")"

# A client that uploads 64 KiB about every 0.2 s, and one that reads a
# download at about the same pace; each ends when the server closes.
python3 - "$port" "$upload_name" <<'PY' &
import socket, struct, sys, time
port, remote = int(sys.argv[1]), sys.argv[2]
s = socket.create_connection(("127.0.0.1", port), timeout=30)
def request(command, body=b""):
    s.sendall(command + struct.pack("<i", len(body)) + body)
def reply():
    data = b""
    while len(data) < 8:
        chunk = s.recv(8 - len(data))
        if not chunk:
            sys.exit(2)
        data += chunk
    return struct.unpack("<i", data[4:])[0]
request(b"UPLD"); reply()
request(b"UP01", ("REMOTEFILENAME=%s\r\nFILESIZE=%d\r\nFILENO=7\r\nUSERNO=1\r\n" % (remote, 12 << 20)).encode()); reply()
request(b"UP02"); s.recv(reply())
request(b"UP03", b"FILEPOS=0"); reply()
try:
    while True:
        s.sendall(b"v" * 65536)
        time.sleep(0.2)
except OSError:
    sys.exit(0)
PY
uploader_pid=$!
python3 - "$port" "$(server_path "$dir/files/release-2026.iso")" <<'PY' &
import socket, struct, sys, time
port, remote = int(sys.argv[1]), sys.argv[2]
s = socket.create_connection(("127.0.0.1", port), timeout=30)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
s.sendall(b"DNLD" + struct.pack("<i", 0))
s.recv(8)
body = ("REMOTEFILENAME=%s\r\nFILENO=8\r\nUSERNO=1\r\nFILESIZE=%d\r\nFILEPOS=0\r\n" % (remote, 160 << 20)).encode()
s.sendall(b"DL01" + struct.pack("<i", len(body)) + body)
while s.recv(131072):
    time.sleep(0.05)
PY
downloader_pid=$!

# Without the token, nobody cuts.
refused=$(curl -s -o /dev/null -w '%{http_code}' -X POST "http://127.0.0.1:$status_port/transfers/1/cut")
[ "$refused" = 403 ] || fail "a cut without the token answered $refused"

mkdir -p "$repo/build"
"$browser_python" "$repo/tests/e2e/status-page.py" "$status_port" "$token" "$screenshot" ||
  fail "the page: $(log_of "$dir")"

wait "$uploader_pid" || fail "the upload's client did not see its connection end"
uploader_pid=
wait_for_log "$dir" "ended from the status port" 5 || fail "no cut line: $(log_of "$dir")"
wait_for_log "$dir" "Upload Fail($upload_name)" 10 || fail "no upload end: $(log_of "$dir")"
kill -0 "$downloader_pid" 2>/dev/null || fail "the download ended with the cut"
echo "status page${windows:+ ($windows)}: rows shown, position advanced, cut ended the upload only; screenshot ${screenshot#$repo/}"

if [ -z "$windows" ] && [ -f "$windows_build/VardexServer.exe" ] && command -v wine >/dev/null; then
  cleanup
  trap - EXIT
  exec bash "$0" windows
fi
