#!/usr/bin/env bash
# Signs an image for Secure Boot with a key and certificate you supply, then
# verifies the signature against the certificate.
#   tools/sign.sh KEY.pem CERT.pem [IMAGE [SIGNED]]
# IMAGE defaults to build/Tamberlune.efi, SIGNED to IMAGE with .signed.efi.
set -euo pipefail

usage() { echo "usage: tools/sign.sh KEY.pem CERT.pem [IMAGE [SIGNED]]" >&2; exit 2; }
[ $# -ge 2 ] && [ $# -le 4 ] || usage
key=$1
cert=$2
image=${3:-$(dirname "$0")/../build/Tamberlune.efi}
signed=${4:-${image%.efi}.signed.efi}

for file in "$key" "$cert" "$image"; do
  [ -f "$file" ] || { echo "sign: no file at $file" >&2; [ "$file" = "$image" ] && echo "sign: build the image first (tools/test.sh, or cmake --build build)" >&2; exit 1; }
done
if ! command -v sbsign >/dev/null || ! command -v sbverify >/dev/null; then
  echo "sign: sbsign and sbverify are missing: apt-get install sbsigntool" >&2
  exit 1
fi

sbsign --key "$key" --cert "$cert" --output "$signed" "$image"
sbverify --cert "$cert" "$signed"
echo "signed: $signed"
