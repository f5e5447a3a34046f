#!/usr/bin/env bash
# The TLS port as a stock TLS client sees it: openssl s_client completes a
# handshake against the server's certificate and shows the protocol version
# and cipher; MinVersion=1.3 turns a TLS 1.2 client away; vardex --tls
# downloads through the same port what the plain port serves; and SIGHUP
# makes the server read renewed certificate files.
set -uo pipefail
source "$(dirname "$0")/common.bash"

command -v openssl >/dev/null || fail "no openssl command (scripts/packages: openssl)"
require_posix_build

dir=$(mktemp -d /tmp/vardex-e2e-tls.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

sh "$repo/tests/support/make-test-certificates.sh" "$dir/certificates" || fail "cannot make test certificates"
port=$(free_port)
tls_port=$(free_port)
mkdir -p "$dir/files"
cp "$server" "$dir/"
printf '[Server]\nPort=%d\n[TLS]\nPort=%d\nCertificate=certificates/server.pem\nKey=certificates/server.key\nMinVersion=1.3\n' \
  "$port" "$tls_port" >"$dir/VardexServer.ini"
head -c 1000000 /dev/urandom >"$dir/files/data.bin"
"$dir/VardexServer" >"$dir/stdout" 2>"$dir/stderr" &
server_pid=$!
wait_for_log "$dir" "Service Start Success" 10 || fail "no start: $(log_of "$dir")"

# s_client prints the session's protocol and cipher once the handshake is through.
openssl s_client -connect "127.0.0.1:$tls_port" -servername localhost -verify_hostname localhost \
  -CAfile "$dir/certificates/ca.pem" -verify_return_error </dev/null >"$dir/s_client" 2>&1 ||
  fail "s_client: $(cat "$dir/s_client")"
grep -E '^(New|Protocol|    Protocol|    Cipher|Verify return code)' "$dir/s_client" | sort -u
grep -q 'Verify return code: 0 (ok)' "$dir/s_client" || fail "the certificate did not verify: $(cat "$dir/s_client")"
grep -q 'TLSv1.3' "$dir/s_client" || fail "no TLS 1.3: $(cat "$dir/s_client")"

openssl s_client -connect "127.0.0.1:$tls_port" -tls1_2 </dev/null >"$dir/s_client12" 2>&1 &&
  fail "a TLS 1.2 client got through MinVersion=1.3: $(cat "$dir/s_client12")"
echo "TLS 1.2 client refused: $(grep -o 'alert protocol version' "$dir/s_client12" | head -1)"

"$client" get --quiet --tls --ca "$dir/certificates/ca.pem" --port "$tls_port" localhost \
  "$dir/files/data.bin" "$dir/fetched.bin" || fail "vardex --tls get"
cmp -s "$dir/files/data.bin" "$dir/fetched.bin" || fail "the TLS download differs"
# Renewal: new files in place, then SIGHUP; new connections see the new certificate.
cp "$dir/certificates/renewed.pem" "$dir/certificates/server.pem"
cp "$dir/certificates/renewed.key" "$dir/certificates/server.key"
kill -HUP "$server_pid"
wait_for_log "$dir" "TLS reload: " 10 || fail "no TLS reload: $(log_of "$dir")"
openssl s_client -connect "127.0.0.1:$tls_port" -servername localhost </dev/null 2>/dev/null | grep -q 'CN *= *renewed' ||
  fail "the renewed certificate is not served"
echo "tls: s_client handshake, version floor, a vardex --tls download and the renewal on SIGHUP pass"
