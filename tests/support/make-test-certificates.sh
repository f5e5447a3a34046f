#!/bin/sh
# Certificates for the TLS tests, made fresh in DIR at each run so that no
# private key is ever committed:
#   ca.pem            the authority the tests trust (ca.key signs)
#   other-ca.pem      an authority nobody trusts (other-ca.key signs)
#   server.pem/.key   CN=localhost for localhost, 127.0.0.1 and ::1, from ca
#   renewed.pem/.key  CN=renewed, for localhost only, from ca
#   stranger.pem/.key CN=localhost as server.pem, but from other-ca
#   client.pem/.key   CN=client-one, a client certificate from ca
# P-256 keys: quick to make, and every TLS library takes them.
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

authority() {
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days 2 -out "$1.pem" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
}

# NAME CN ISSUER EXTENSIONS
issue() {
  key "$1.key"
  openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"
  printf '%s\n' "$4" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -days 2 \
    -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}

authority ca "Vardex Test CA"
authority other-ca "Vardex Other CA"
issue server localhost ca "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1"
issue renewed renewed ca "subjectAltName=DNS:localhost"
issue stranger localhost other-ca "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1"
issue client client-one ca "extendedKeyUsage=clientAuth"
