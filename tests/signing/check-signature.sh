#!/usr/bin/env bash
# Checks that PROGRAM carries an Authenticode SHA-256 signature made with the certificate of
# PKCS12, intact and chained to a root (one of the PKCS#12 file's own or the system's), and
# that it is time-stamped when TIMESTAMPED is 1:
#
#   check-signature.sh PROGRAM PKCS12 PASSWORD_FILE TIMESTAMPED
#
# PASSWORD_FILE may be empty (a PKCS#12 file without a password). Prints osslsigncode's report
# when a check fails.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: check-signature.sh PROGRAM PKCS12 PASSWORD_FILE TIMESTAMPED" >&2; exit 2; }
program=$1 pkcs12=$2 password=$3 timestamped=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passin=pass:
[ -z "$password" ] || passin=file:$password
openssl pkcs12 -in "$pkcs12" -passin "$passin" -cacerts -nokeys -out "$work/roots.pem"
[ ! -f /etc/ssl/certs/ca-certificates.crt ] || cat /etc/ssl/certs/ca-certificates.crt >>"$work/roots.pem"
subject=$(openssl pkcs12 -in "$pkcs12" -passin "$passin" -clcerts -nokeys |
          openssl x509 -noout -subject -nameopt compat | sed 's/^subject=//')

status=0
osslsigncode verify -CAfile "$work/roots.pem" -TSA-CAfile "$work/roots.pem" -in "$program" >"$work/report" 2>&1 || status=$?

failures=()
[ $status -eq 0 ] || failures+=("osslsigncode verify ended with $status")
grep -q '^Number of verified signatures: 1$' "$work/report" || failures+=("not exactly one verified signature")
grep -q '^Message digest algorithm  : SHA256' "$work/report" || failures+=("the digest is not SHA-256")
grep -qF "Subject: $subject" "$work/report" || failures+=("not signed by $subject")
if [ "$timestamped" = 1 ]; then
    grep -q '^Timestamp Server Signature verification: ok' "$work/report" || failures+=("no valid time stamp")
fi
if [ ${#failures[@]} -gt 0 ]; then
    cat "$work/report"
    for failure in "${failures[@]}"; do
        echo "check-signature: $program: $failure"
    done
    exit 1
fi
echo "check-signature: $program is signed by $subject"
