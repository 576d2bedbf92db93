# SPDX-License-Identifier: MIT
# Sourced by run.sh and disk.sh: the key they press at the menu.

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
