#!/bin/sh
# Certificates for the TLS tests, made into folder $1: a CA ("ca"), server
# certificates it signed for 127.0.0.1, ::1 and localhost (valid "server",
# "expired", "othername" for another name only), a client certificate
# ("client"), and "stranger", signed by a CA nobody trusts.
set -e
cd "$1"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key"; }
ca() { key "$1" && openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 2 -subj "/CN=$1"; }
signed() {  # name, CA, days, subjectAltName
    key "$1"
    openssl req -new -key "$1.key" -subj "/CN=$1" -out "$1.csr"
    printf 'subjectAltName=%s\n' "$4" > "$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days "$3" \
        -extfile "$1.ext" -out "$1.pem"
}
here="IP:127.0.0.1,IP:::1,DNS:localhost"
ca ca
ca otherca
signed server ca 2 "$here"
signed expired ca -1 "$here"
signed othername ca 2 "DNS:elsewhere.test"
signed client ca 2 "DNS:client"
signed stranger otherca 2 "$here"
