#!/usr/bin/env bash
# Makes a throwaway certificate authority and what the signing tests sign with, in DIR:
#   ca.crt         the authority (self-signed)
#   other-ca.crt   another authority, which signed nothing here
#   cs.key cs.crt  a code-signing certificate (basicConstraints CA:FALSE, keyUsage
#                  digitalSignature, extendedKeyUsage codeSigning) and its key
#   cs.p12         the same as PKCS#12, whose password is in password.txt
#   tls.crt        a certificate for the same key without the code-signing usage
# Usage: throwaway_ca.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
authority() {  # name subject
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.crt" -subj "/CN=$2" -days 3650 \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
authority ca "zklaunch test authority"
authority other-ca "zklaunch other authority"
openssl req -newkey rsa:2048 -nodes -keyout cs.key -out cs.csr -subj "/CN=zklaunch test signer" 2>/dev/null
leaf() {  # name extendedKeyUsage
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$2" > "$1.ext"
  openssl x509 -req -in cs.csr -CA ca.crt -CAkey ca.key -set_serial "0x$(openssl rand -hex 8)" -days 3650 \
    -extfile "$1.ext" -out "$1.crt" 2>/dev/null
}
leaf cs codeSigning
leaf tls serverAuth
echo "throwaway password" > password.txt
openssl pkcs12 -export -in cs.crt -inkey cs.key -out cs.p12 -passout file:password.txt
