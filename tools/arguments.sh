# SPDX-License-Identifier: MIT
# Sourced by run.sh and disk.sh: the arguments they share, the key pressed at
# the menu and the machine booted.

# The machines: x64, aa64, riscv64 (and riscv64-smode, the same image on
# U-Boot in supervisor mode), ia32 and arm.
TAMBERLUNE_ARCHES="x64, aa64, riscv64, riscv64-smode, ia32 or arm"

# tamberlune_arch COMMAND ARCH: prints ARCH if it names a machine; else exits
# 2 with COMMAND's message.
tamberlune_arch() {
  case "$2" in
    x64 | aa64 | riscv64 | riscv64-smode | ia32 | arm) printf '%s' "$2" ;;
    *) echo "$1: --arch takes $TAMBERLUNE_ARCHES, not '$2'" >&2; exit 2 ;;
  esac
}

# tamberlune_suffix ARCH: the images' name suffix for ARCH's build
# (Tamberlune$suffix.efi, BootOptions$suffix.efi), and its payload folder
# is ${ARCH%-smode}.
tamberlune_suffix() {
  case "${1%-smode}" in
    x64) printf '' ;;
    aa64) printf AA64 ;;
    riscv64) printf RISCV64 ;;
    ia32) printf IA32 ;;
    arm) printf ARM ;;
  esac
}

# tamberlune_key COMMAND KEY: prints the key to press: KEY (--key's value),
# else a key piped in, else nothing (the person types it). Exits 2 with
# COMMAND's message for a key that is none of p, r, esc, none or one character.
tamberlune_key() {
  local key=$2
  if [ -z "$key" ] && [ ! -t 0 ]; then
    # A piped key: its line end is no keystroke, and no input at all is none.
    key=$(cat)
    key=${key:-none}
  fi
  case "$key" in
    "" | p | r | esc | none) ;;
    *) [ "${#key}" -eq 1 ] || { echo "$1: --key takes p, r, esc, none or one character, not '$key'" >&2; exit 2; } ;;
  esac
  printf '%s' "$key"
}
