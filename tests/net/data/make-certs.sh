#!/usr/bin/env bash
# Regenerates the certificates the Windows transport's unit tests judge (PEM, no keys kept):
#   root-a.pem, root-b.pem      two unrelated self-signed roots
#   leaf-a.pem                  issued by root A, valid for a century
#   leaf-b.pem                  issued by root B
#   leaf-a-expired.pem          issued by root A, expired in 2001
#   leaf-a-future.pem           issued by root A, valid only from 2090
#   root-c-not-ca.pem           self-signed, basicConstraints CA:FALSE
#   leaf-c.pem                  issued by root C (so its chain breaks the CA constraint)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

root() {  # name subject ca(TRUE|FALSE)
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.key" -out "$1.pem" \
    -subj "/CN=$2" -days 36500 -addext "basicConstraints=critical,CA:$3" \
    -addext "keyUsage=critical,keyCertSign,cRLSign,digitalSignature" 2>/dev/null
}

leaf() {  # name issuer startdate enddate
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.key" -out "$1.csr" \
    -subj "/CN=127.0.0.1" 2>/dev/null
  mkdir -p "ca-$1"; : > "ca-$1/index.txt"
  cat > "ca-$1.cnf" <<CNF
[ca]
default_ca = ca
[ca]
dir = ca-$1
database = ca-$1/index.txt
new_certs_dir = ca-$1
serial = ca-$1/serial
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
x509_extensions = ext
[any]
commonName = supplied
[ext]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:127.0.0.1,IP:127.0.0.1,DNS:localhost
CNF
  openssl rand -hex 8 > "ca-$1/serial"
  openssl ca -batch -config "ca-$1.cnf" -cert "$2.pem" -keyfile "$2.key" -in "$1.csr" -out "$1.full" \
    -startdate "$3" -enddate "$4" -notext 2>/dev/null
  openssl x509 -in "$1.full" -out "$1.pem"
}

root root-a "Parlow test root A" TRUE
root root-b "Parlow test root B" TRUE
root root-c-not-ca "Parlow test root C" FALSE
leaf leaf-a root-a 20200101000000Z 21200101000000Z
leaf leaf-b root-b 20200101000000Z 21200101000000Z
leaf leaf-a-expired root-a 20000101000000Z 20010101000000Z
leaf leaf-a-future root-a 20900101000000Z 21000101000000Z
leaf leaf-c root-c-not-ca 20200101000000Z 21200101000000Z

for f in root-a root-b root-c-not-ca leaf-a leaf-b leaf-a-expired leaf-a-future leaf-c; do
  cp "$f.pem" "$here/$f.pem"
done
