#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Signs an image for Secure Boot with a key and certificate you supply, then
# verifies the signature against the certificate. The key and certificate are
# checked first, so a wrong file or a mismatched pair is named in one line.
# The signed image is written beside its target and renamed into place only
# once it verifies. Installed as tamberlune-sign, it signs an installed image.
set -euo pipefail
# Read whole before it runs: bash parses a script a command at a time, and a
# trapped signal that arrives while it parses one breaks the parse.
{
repo=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
TAMBERLUNE_LIBRARY=$repo/lib
. "$TAMBERLUNE_LIBRARY/command.sh"
tamberlune_command "$([ -z "$TAMBERLUNE_IMAGES" ] && echo sign || echo tamberlune-sign)"

tamberlune_help() {
  if [ -n "$TAMBERLUNE_IMAGES" ]; then
    cat <<'USAGE'
Usage: tamberlune-sign [--replace] KEY.pem CERT.pem IMAGE SIGNED
Signs an image for UEFI Secure Boot. IMAGE is signed (sbsign) with a PEM RSA
private key and the PEM certificate that holds its public key, written to
SIGNED and verified (sbverify). The installed images are in share/tamberlune
under the prefix (/usr/share/tamberlune from the package).
  IMAGE      the image to sign
  SIGNED     where the signed image goes: a new file or a regular one (never
             a device or a folder); written only once it verifies
  --replace  IMAGE is signed already: drop its signatures and sign it anew
Exit status 0 when signed and verified, 1 on failure, 2 on bad arguments.
Example:
  tamberlune-sign db.key db.crt /usr/share/tamberlune/Tamberlune.efi /boot/efi/EFI/Tamberlune/Tamberlune.efi
USAGE
    return
  fi
  cat <<'USAGE'
Usage: tools/sign.sh [--replace] [--build-dir DIR] KEY.pem CERT.pem [IMAGE [SIGNED]]
Signs IMAGE for UEFI Secure Boot (sbsign) with a PEM RSA private key and the
PEM certificate that holds its public key, and verifies the result (sbverify).
  IMAGE      the image to sign (default: Tamberlune.efi in the build tree)
  SIGNED     where the signed image goes (default: IMAGE with .signed.efi): a
             new file or a regular one (through a symbolic link, the file it
             names), never a device or a folder; written only once it verifies
  --replace  IMAGE is signed already: drop its signatures and sign it anew
             (without it, a signed IMAGE is refused rather than given a second
             signature)
  --build-dir DIR
             the build tree of the default IMAGE (default build/ in the
             repository)
Exit status 0 when signed and verified, 1 on failure, 2 on bad arguments, 130
or 143 when interrupted.
Example:
  tools/sign.sh db.key db.crt build/Tamberlune.efi /tmp/Tamberlune.signed.efi
USAGE
}

if [ -n "$TAMBERLUNE_IMAGES" ]; then
  tamberlune_arguments "--replace" 4 "$@"
  [ ${#TAMBERLUNE_OPERANDS[@]} -eq 4 ] || tamberlune_refuse "give KEY, CERT, IMAGE and SIGNED"
else
  tamberlune_arguments "--replace --build-dir=" 4 "$@"
  [ ${#TAMBERLUNE_OPERANDS[@]} -ge 2 ] || tamberlune_refuse "give at least KEY and CERT"
fi
replace=$(tamberlune_option --replace no)
key=${TAMBERLUNE_OPERANDS[0]}
cert=${TAMBERLUNE_OPERANDS[1]}
image=${TAMBERLUNE_OPERANDS[2]:-}
if [ -z "$image" ]; then
  build=$(tamberlune_absolute "$(tamberlune_option --build-dir "$repo/build")")
  image=$build/Tamberlune.efi
fi
signed=${TAMBERLUNE_OPERANDS[3]:-${image%.efi}.signed.efi}
fail() { tamberlune_fail "$@"; }
# Where the signed image goes is checked before anything else.
target=$(tamberlune_output "$signed")
[ -n "$TAMBERLUNE_IMAGES" ] || tamberlune_needs sign
# What signing writes, named for removal before it exists: the signed image
# beside its target until it verifies, and a scratch folder.
partial=$(dirname "$target")/.tamberlune-sign-$$
tamberlune_leftover "$partial"
tamberlune_scratch

# The work runs as a child that this shell waits for: an interrupt then
# finds this shell waiting, where its trap is sure to run.
sign_image() {
  for tool in sbsign sbverify sbattach openssl; do
    command -v "$tool" >/dev/null || fail "$tool is missing: apt-get install --no-install-recommends sbsigntool openssl"
  done
  for file in "$key" "$cert" "$image"; do
    [ -f "$file" ] && [ -r "$file" ] || {
      [ "$file" = "$image" ] && [ ${#TAMBERLUNE_OPERANDS[@]} -lt 3 ] && fail "no image at $image: build it first (tools/build.sh)"
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
  unsigned=$image
  if [ "$replace" = yes ]; then
    # The old signatures go from a copy; the image itself is left as it is.
    unsigned=$TAMBERLUNE_SCRATCH/unsigned.efi
    cp "$image" "$unsigned"
    while sbverify --list "$unsigned" 2>/dev/null | grep -q '^signature '; do
      sbattach --remove "$unsigned" >/dev/null 2>&1 || fail "sbattach could not remove the signature of $image"
    done
  fi
  # Signed beside the target, and put in its place once it verifies.
  rm -f "$partial"
  if ! output=$(sbsign --key "$key" --cert "$cert" --output "$partial" "$unsigned" 2>&1); then
    fail "sbsign could not sign $image into $signed: $(echo "$output" | tail -1)"
  fi
  if ! output=$(sbverify --cert "$cert" "$partial" 2>&1); then
    fail "the signature of $signed does not verify: $(echo "$output" | tail -1)"
  fi
  # A replaced file keeps its mode; a new one gets the umask's.
  if [ -e "$target" ]; then
    chmod --reference="$target" "$partial"
  else
    chmod "$(printf '%o' $((0666 & ~$(umask))))" "$partial"
  fi
  mv -f "$partial" "$target"
  echo "$output"
  echo "signed: $signed"
}
tamberlune_run sign_image
exit
}
