# Helpers of the end-to-end scripts: executables, ports, the handshake, the
# transfers and waiting for log lines. Sourced, not run.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
posix_build=${VARDEX_POSIX_BUILD:-$repo/build/debug}
windows_build=${VARDEX_WINDOWS_BUILD:-$repo/build/windows}
client=$posix_build/src/client/vardex

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Sets `server` to the POSIX build's server; fails when it or the client is
# not built.
require_posix_build() {
  server=$posix_build/VardexServer
  [ -x "$server" ] || fail "no $server (build it first)"
  [ -x "$client" ] || fail "no $client (build it first)"
}

# A TCP port that nothing listens on right now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("", 0)); print(s.getsockname()[1]); s.close()'
}

# The opening handshake: "DNLD" with 0, answered by "DNLD" with result 0.
handshake() {
  python3 - "$1" <<'PY'
import socket, struct, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
s.sendall(b"DNLD" + struct.pack("<i", 0))
reply = b""
while len(reply) < 8:
    chunk = s.recv(8 - len(reply))
    if not chunk:
        break
    reply += chunk
sys.exit(0 if reply == b"DNLD" + struct.pack("<i", 0) else 1)
PY
}

# The transfers, done with the command-line client: download_file PORT
# REMOTE LOCAL, upload_file PORT LOCAL REMOTE.
download_file() {
  "$client" get --quiet --port "$1" 127.0.0.1 "$2" "$3"
}
upload_file() {
  "$client" put --quiet --port "$1" 127.0.0.1 "$2" "$3"
}

# A download of REMOTE (of SIZE bytes) that reads a little and then stops
# reading, so that the server's worker is held in the middle of its data.
# Runs in the background; its pid is in $stalled_pid.
start_stalled_download() {
  python3 - "$1" "$2" "$3" <<'PY' &
import socket, struct, sys, time
port, remote, size = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
s = socket.create_connection(("127.0.0.1", port), timeout=10)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
s.sendall(b"DNLD" + struct.pack("<i", 0))
s.recv(8)
body = ("REMOTEFILENAME=%s\r\nFILENO=1\r\nUSERNO=1\r\nFILESIZE=%d\r\nFILEPOS=0\r\n" % (remote, size)).encode()
s.sendall(b"DL01" + struct.pack("<i", len(body)) + body)
s.recv(8)
s.recv(16000)
time.sleep(120)
PY
  stalled_pid=$!
}

# The day's log of a server directory, without the CR of its line ends.
log_of() {
  cat "$1"/Log/FileServer*.log 2>/dev/null | tr -d '\r'
}

# wait_for_log DIR TEXT SECONDS: true once a log line contains TEXT.
wait_for_log() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    log_of "$1" | grep -qF -- "$2" && return 0
    sleep 0.1
  done
  return 1
}
