#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Signs an image for Secure Boot with a key and certificate you supply, then
# verifies the signature against the certificate. The key and certificate are
# checked first, so a wrong file or a mismatched pair is named in one line.
set -euo pipefail

usage() { echo "usage: tools/sign.sh [--replace] KEY.pem CERT.pem [IMAGE [SIGNED]] (--help for more)" >&2; exit 2; }
if [ "${1:-}" = --help ] || [ "${1:-}" = -h ]; then
  cat <<'USAGE'
usage: tools/sign.sh [--replace] KEY.pem CERT.pem [IMAGE [SIGNED]]
Signs IMAGE for UEFI Secure Boot (sbsign) with a PEM RSA private key and the
PEM certificate that holds its public key, and verifies the result (sbverify).
  IMAGE      the image to sign (default: build/Tamberlune.efi)
  SIGNED     where the signed image goes (default: IMAGE with .signed.efi)
  --replace  IMAGE is signed already: drop its signatures and sign it anew
             (without it, a signed IMAGE is refused rather than given a second
             signature)
Exit status 0 when signed and verified, 1 on failure, 2 on bad arguments.
example: tools/sign.sh db.key db.crt build/Tamberlune.efi /tmp/Tamberlune.signed.efi
USAGE
  exit 0
fi
replace=no
if [ "${1:-}" = --replace ]; then
  replace=yes
  shift
fi
[ $# -ge 2 ] && [ $# -le 4 ] || usage
for argument in "$@"; do [[ "$argument" != -* ]] || usage; done
key=$1
cert=$2
repo=$(cd "$(dirname "$0")/.." && pwd)
image=${3:-$repo/build/Tamberlune.efi}
signed=${4:-${image%.efi}.signed.efi}
fail() { echo "sign: $*" >&2; exit 1; }

for tool in sbsign sbverify sbattach openssl; do
  command -v "$tool" >/dev/null || fail "$tool is missing: apt-get install --no-install-recommends sbsigntool openssl"
done
for file in "$key" "$cert" "$image"; do
  [ -f "$file" ] && [ -r "$file" ] || {
    [ "$file" = "$image" ] && [ $# -lt 3 ] && fail "no image at $image: build it first (tools/build.sh)"
    [ "$file" = "$image" ] && fail "no image at $image"
    fail "no readable file at $file"
  }
done

is_key() { openssl pkey -inform PEM -in "$1" -noout >/dev/null 2>&1; }
is_cert() { openssl x509 -inform PEM -in "$1" -noout >/dev/null 2>&1; }
if ! is_key "$key"; then
  is_cert "$key" && is_key "$cert" && fail "$key is a certificate and $cert a key: give the key first"
  is_cert "$key" && fail "$key is a certificate, not a private key"
  fail "$key is no PEM private key (an encrypted key, or not PEM?)"
fi
if ! is_cert "$cert"; then
  openssl x509 -inform DER -in "$cert" -noout >/dev/null 2>&1 &&
    fail "$cert is a DER certificate; sbsign takes PEM: openssl x509 -inform DER -in $cert -out ${cert%.*}.pem"
  fail "$cert is no PEM certificate"
fi
if [ "$(openssl pkey -in "$key" -pubout 2>/dev/null)" != "$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null)" ]; then
  fail "$key and $cert do not belong together: the certificate holds another public key"
fi
# Authenticode as UEFI firmware checks it is RSA: sbsign takes no other key.
if ! openssl rsa -in "$key" -noout >/dev/null 2>&1; then
  fail "$key is no RSA key ($(openssl pkey -in "$key" -noout -text 2>/dev/null | head -1 | sed 's/ Private-Key.*//; s/^Private-Key.*/EC/')); sbsign and UEFI take RSA: openssl req -x509 -newkey rsa:2048 -nodes -keyout db.key -out db.crt -subj /CN=db/"
fi
if sbverify --list "$image" 2>/dev/null | grep -q '^signature '; then
  [ "$replace" = yes ] || fail "$image is signed already; signing again would add a second signature: --replace drops the old ones first"
fi
if [ -d "$signed" ]; then fail "$signed is a folder; give the path of the signed image"; fi
folder=$(dirname "$signed")
[ -d "$folder" ] || fail "no folder $folder to write $(basename "$signed") into"
[ -w "$folder" ] && { [ ! -e "$signed" ] || [ -w "$signed" ]; } || fail "cannot write $signed: permission denied or read-only"

unsigned=$image
if [ "$replace" = yes ]; then
  # The old signatures go from a copy; the image itself is left as it is.
  unsigned=$(mktemp "${TMPDIR:-/tmp}/tamberlune-unsigned-XXXXXX.efi")
  trap 'rm -f "$unsigned"' EXIT
  cp "$image" "$unsigned"
  while sbverify --list "$unsigned" 2>/dev/null | grep -q '^signature '; do
    sbattach --remove "$unsigned" >/dev/null 2>&1 || fail "sbattach could not remove the signature of $image"
  done
fi
if ! output=$(sbsign --key "$key" --cert "$cert" --output "$signed" "$unsigned" 2>&1); then
  fail "sbsign could not sign $image into $signed: $(echo "$output" | tail -1)"
fi
if ! output=$(sbverify --cert "$cert" "$signed" 2>&1); then
  fail "the signature of $signed does not verify: $(echo "$output" | tail -1)"
fi
echo "$output"
echo "signed: $signed"
