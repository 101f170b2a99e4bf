#!/usr/bin/env bash
# Makes throw-away certificates for signing tests in FOLDER, each valid for 30 days:
#
#   make-certificates.sh FOLDER
#
#   root.pem       a root of their own, to trust when verifying
#   signer.p12     a code-signing certificate issued by that root, with its key and the root,
#                  locked with the password in "password"
#   tsa.pem, tsa.key, tsa.cnf   a time-stamping authority issued by the same root, for tsa.py
#
# Certificates that an earlier run made are kept while each stays valid for at least another
# day and this script is unchanged: the build signs again only when signer.p12 or the password
# changes, so keeping them spares an unchanged tree a link and a signing on every test run.
set -euo pipefail
folder=$1
script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
mkdir -p "$folder"
cd "$folder"

days=30
margin=$((24 * 3600)) # seconds of validity that a kept certificate must still have

still_valid() {
    local certificate
    [ -f signer.p12 ] && [ -f password ] && [ -f tsa.key ] || return 1
    [ "$(cat made-by 2>/dev/null)" = "$(sha256sum <"$script")" ] || return 1
    for certificate in root.pem signer.pem tsa.pem; do
        openssl x509 -in "$certificate" -noout -checkend $margin >/dev/null 2>&1 || return 1
    done
}

# issue NAME SUBJECT EXTENDED_KEY_USAGE: NAME.pem and NAME.key, issued by the root
issue() {
    openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
    openssl x509 -req -in "$1.csr" -CA root.pem -CAkey root.key -CAcreateserial -days $days -out "$1.pem" \
        -extfile <(printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,%s\n' "$3") 2>/dev/null
    rm -f "$1.csr"
}

make_certificates() {
    rm -f -- *.pem *.key *.p12 *.csr *.srl password tsa.serial made-by
    openssl req -x509 -newkey rsa:2048 -nodes -days $days -keyout root.key -out root.pem \
        -subj "/CN=Quellmark Test Root" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    issue signer "/O=Vostrel/CN=Vostrel Test Code Signing" codeSigning
    issue tsa "/O=Vostrel/CN=Vostrel Test Time Stamping" timeStamping

    head -c 24 /dev/urandom | base64 >password
    openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile root.pem -passout file:password -out signer.p12
    rm -f signer.key root.key root.srl
    echo 01 >tsa.serial
    sha256sum <"$script" >made-by
}

still_valid || make_certificates

# Written on every run: it names this folder, which may have moved.
cat >tsa.cnf <<CONFIG
[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = $PWD/tsa.serial
signer_cert = $PWD/tsa.pem
signer_key = $PWD/tsa.key
certs = $PWD/root.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
CONFIG
