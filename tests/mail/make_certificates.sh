#!/usr/bin/env bash
# Makes a certificate authority for the mail tests and two server certificates it signs, in DIR:
# ca.pem (the authority), good.pem/good.key (for localhost and 127.0.0.1) and
# wrong-host.pem/wrong-host.key (for another host only). Usage: make_certificates.sh DIR
set -euo pipefail
cd "$1"
key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${key[@]}" -days 2 -subj "/CN=Mail Test Authority" -keyout ca.key -out ca.pem \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
sign() {  # name, subject alternative names
  openssl req "${key[@]}" -subj "/CN=$1" -keyout "$1.key" -out "$1.csr" 2>/dev/null
  printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$2" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile "$1.ext" \
    -out "$1.pem" 2>/dev/null
}
sign good "DNS:localhost,IP:127.0.0.1"
sign wrong-host "DNS:mail.elsewhere.test"
