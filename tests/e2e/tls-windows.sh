#!/usr/bin/env bash
# TLS in the Windows build under Wine. Wine's SChannel can be a TLS client
# but not a server (AcceptSecurityContext is not implemented there), so the
# Windows client is run against the POSIX server: a download and an upload
# byte for byte with a client certificate, a server signed by another
# authority refused, a client without a certificate refused where the
# server asks for one, a server of an old TLS version refused. The Windows server with a TLS port fails its start
# with a line that says why, rather than refusing every client later.
set -uo pipefail
source "$(dirname "$0")/common.bash"
export WINEDEBUG=-all

server=$posix_build/VardexServer
wclient=$windows_build/src/client/vardex.exe
wserver=$windows_build/VardexServer.exe
for f in "$server" "$wclient" "$wserver"; do [ -f "$f" ] || fail "no $f (build it first)"; done
command -v wine >/dev/null || fail "no wine"
command -v openssl >/dev/null || fail "no openssl (scripts/packages)"

dir=$(mktemp -d /tmp/vardex-e2e-tls-windows.XXXXXX)
server_pid=
started_wineserver=0
cleanup() {
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null
  [ "$started_wineserver" = 1 ] && wineserver -k </dev/null >/dev/null 2>&1
  rm -rf "$dir"
}
trap cleanup EXIT
if wineserver -p </dev/null >/dev/null 2>&1; then started_wineserver=1; fi

# Wine maps the POSIX root to drive Z:.
winpath() { echo "Z:${1//\//\\}"; }
# Wine's output goes to a file: a pipe inherited by Wine processes that
# outlive the command would keep the caller waiting.
w() {
  timeout 120 wine "$@" </dev/null >"$dir/wine.out" 2>&1
}

# An authority, the server's certificate (for localhost and 127.0.0.1), a
# client's, and a second authority that signed neither.
pki=$dir/pki
mkdir -p "$pki"
(
  cd "$pki" || exit 1
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=Test-CA &&
    openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 -subj /CN=Other-CA &&
    openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=localhost &&
    printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >server.ext &&
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 \
      -extfile server.ext &&
    openssl req -newkey rsa:2048 -nodes -keyout client.key -out client.csr -subj /CN=windows-client &&
    openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out client.pem -days 2
) >"$dir/openssl.out" 2>&1 || fail "openssl: $(cat "$dir/openssl.out")"

port=$(free_port)
tls_port=$(free_port)
mkdir -p "$dir/server/files"
cp "$server" "$dir/server/"
printf '[Server]\nPort=%d\n[TLS]\nPort=%d\nCertificate=%s\nKey=%s\nClientCA=%s\n' "$port" "$tls_port" \
  "$pki/server.pem" "$pki/server.key" "$pki/ca.pem" >"$dir/server/VardexServer.ini"
head -c 3000000 /dev/urandom >"$dir/server/files/down.bin"
head -c 2500000 /dev/urandom >"$dir/up.bin"
"$dir/server/VardexServer" >"$dir/server/stdout" 2>"$dir/server/stderr" &
server_pid=$!
wait_for_log "$dir/server" "Service Start Success" 10 || fail "no start: $(log_of "$dir/server") $(cat "$dir/server/stderr")"

tls=(--tls --ca "$(winpath "$pki/ca.pem")" --cert "$(winpath "$pki/client.pem")" --key "$(winpath "$pki/client.key")")
w "$wclient" get --quiet "${tls[@]}" --port "$tls_port" localhost "$dir/server/files/down.bin" \
  "$(winpath "$dir/down.bin")" || fail "download: $(cat "$dir/wine.out")"
cmp -s "$dir/server/files/down.bin" "$dir/down.bin" || fail "the download differs"
w "$wclient" put --quiet "${tls[@]}" --port "$tls_port" 127.0.0.1 "$(winpath "$dir/up.bin")" \
  "$dir/server/files/up.bin" || fail "upload: $(cat "$dir/wine.out")"
cmp -s "$dir/up.bin" "$dir/server/files/up.bin" || fail "the upload differs"

# Another authority's server, and a client without a certificate.
w "$wclient" get --quiet --tls --ca "$(winpath "$pki/other.pem")" --cert "$(winpath "$pki/client.pem")" \
  --key "$(winpath "$pki/client.key")" --port "$tls_port" localhost "$dir/server/files/down.bin" \
  "$(winpath "$dir/wrong-ca.bin")" && fail "a server of another authority was accepted"
grep -q "not signed by the given authority" "$dir/wine.out" || fail "wrong authority: $(cat "$dir/wine.out")"
w "$wclient" get --quiet --tls --ca "$(winpath "$pki/ca.pem")" --port "$tls_port" localhost \
  "$dir/server/files/down.bin" "$(winpath "$dir/no-cert.bin")" && fail "a client without a certificate was served"
[ -s "$dir/wrong-ca.bin" ] || [ -s "$dir/no-cert.bin" ] && fail "a refused connection left data"

# A server that speaks nothing newer than TLS 1.1: the client asks for 1.2
# and newer, and refuses an older version even where the system's SChannel
# passes over that request (Wine's does).
old_port=$(free_port)
python3 - "$old_port" "$pki/server.pem" "$pki/server.key" >"$dir/old-server.out" 2>&1 <<'PY' &
import socket, ssl, sys, warnings
warnings.simplefilter("ignore")
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[2], sys.argv[3])
context.set_ciphers("DEFAULT:@SECLEVEL=0")
context.minimum_version = context.maximum_version = ssl.TLSVersion.TLSv1_1
listener = socket.create_server(("127.0.0.1", int(sys.argv[1])))
listener.settimeout(60)
connection, _ = listener.accept()
try:
    session = context.wrap_socket(connection, server_side=True)
    print("negotiated", session.version(), "read", session.recv(100))
except Exception as error:
    print("handshake failed:", error)
PY
old_pid=$!
sleep 1
w "$wclient" get --quiet --tls --ca "$(winpath "$pki/ca.pem")" --port "$old_port" localhost /x.bin \
  "$(winpath "$dir/old.bin")" && fail "a TLS 1.1 server was used"
wait "$old_pid"
grep -q "below the minimum version" "$dir/wine.out" || fail "TLS 1.1: $(cat "$dir/wine.out") $(cat "$dir/old-server.out")"
grep -q "read b''" "$dir/old-server.out" || grep -q "handshake failed" "$dir/old-server.out" ||
  fail "the client sent data over TLS 1.1: $(cat "$dir/old-server.out")"

# The Windows server with a TLS port under Wine: no start, and the reason.
mkdir -p "$dir/wserver"
cp "$wserver" "$dir/wserver/"
printf '[Server]\r\nPort=%d\r\n[TLS]\r\nPort=%d\r\nCertificate=%s\r\nKey=%s\r\n' "$(free_port)" "$(free_port)" \
  "$(winpath "$pki/server.pem")" "$(winpath "$pki/server.key")" >"$dir/wserver/VardexServer.ini"
w "$dir/wserver/VardexServer.exe" /console && fail "the Windows server started with a TLS port Wine cannot serve"
{ cat "$dir/wine.out"; log_of "$dir/wserver"; } | grep -q "cannot act as a TLS server" ||
  fail "no reason for the failed start: $(cat "$dir/wine.out") $(log_of "$dir/wserver")"

echo "tls-windows: the Windows client's download and upload over TLS match, refusals hold, the Windows server names why it cannot serve TLS"
