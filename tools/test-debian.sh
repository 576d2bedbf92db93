#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the test command (tools/test.sh) on another Debian release: in a root
# of that release made with debootstrap and kept between runs, on a fresh
# clone of this repository's committed HEAD. /proc, /sys, /dev and /dev/pts
# are bound into the root for the run and unmounted however it ends.
set -euo pipefail
# Read whole before it runs: bash parses a script a command at a time, and a
# trapped signal that arrives while it parses one breaks the parse.
{
repo=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
TAMBERLUNE_LIBRARY=$repo/lib
. "$TAMBERLUNE_LIBRARY/command.sh"
tamberlune_command test-debian

tamberlune_help() {
  cat <<'USAGE'
Usage: tools/test-debian.sh [--root DIR] [SUITE]
Runs tools/test.sh --no-cross-hosts (the arm64 and armhf suites prove the
code, not the release) in a Debian SUITE root (default trixie, Debian 13): made
with debootstrap from this machine's Debian mirror the first time and kept in
DIR (default build-debian-SUITE/ in the repository), so later runs install
nothing new. Each run clones this repository's committed HEAD into the root
afresh and binds /proc, /sys, /dev and /dev/pts into it, unmounting them
however the run ends. Needs root (debootstrap, chroot and mount do).
  --root DIR   where the root is kept
Exit status: tools/test.sh's, 1 when the root cannot be made, 2 on bad
arguments, 130 or 143 when interrupted.
Example:
  sudo tools/test-debian.sh trixie
USAGE
}

tamberlune_arguments "--root=" 1 "$@"
suite=${TAMBERLUNE_OPERANDS[0]:-trixie}
[[ "$suite" =~ ^[a-z]+$ ]] || tamberlune_refuse "SUITE is a Debian suite such as trixie, not '$suite'"
root=$(tamberlune_absolute "$(tamberlune_option --root "$repo/build-debian-$suite")")
[ "$(id -u)" -eq 0 ] || tamberlune_fail "debootstrap, chroot and mount need root: sudo tools/test-debian.sh $suite"
command -v debootstrap >/dev/null || {
  command -v apt-get >/dev/null || tamberlune_fail "debootstrap is missing, and this is no Debian machine"
  DEBIAN_FRONTEND=noninteractive tamberlune_run apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
}
git -C "$repo" rev-parse --verify -q HEAD >/dev/null || tamberlune_fail "$repo has no commit to test"

mirror=$(tamberlune_debian_mirror "make a $suite root") || exit 1

if [ ! -f "$root/.tamberlune-root" ]; then
  echo "== making a Debian $suite root in $root (debootstrap, once)"
  rm -rf "$root"
  mkdir -p "$(dirname "$root")"
  tamberlune_leftover "$root"
  tamberlune_run debootstrap --variant=minbase --include=git,ca-certificates,sudo "$suite" "$root" "$mirror" \
    >"$root.log" 2>&1 || { tail -20 "$root.log" >&2; tamberlune_fail "debootstrap failed; its log is $root.log"; }
  touch "$root/.tamberlune-root"
  TAMBERLUNE_LEFTOVERS=()
fi

# The mounts, undone in reverse however the run ends.
mounted=()
unmount() {
  local index
  for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do
    umount "${mounted[index]}" 2>/dev/null || umount -l "${mounted[index]}" 2>/dev/null || true
  done
  mounted=()
  tamberlune_clean_up
}
trap unmount EXIT
for folder in proc sys dev dev/pts; do
  mkdir -p "$root/$folder"
  mount --bind "/$folder" "$root/$folder"
  mounted+=("$root/$folder")
done
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

rm -rf "$root/work"
mkdir -p "$root/work"
git clone -q "$repo" "$root/work/tamberlune"
echo "== tools/test.sh in Debian $suite ($(cat "$root/etc/debian_version")), on $(git -C "$repo" rev-parse --short HEAD)"
status=0
tamberlune_run chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root CI=true LANG=C.UTF-8 \
  /bin/bash -c 'cd /work/tamberlune && tools/test.sh --no-cross-hosts' || status=$?
exit "$status"
exit
}
