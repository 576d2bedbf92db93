#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the images twice, from copies of the sources in two different folders
# with two different build folders, and requires byte-identical images and
# boot scripts.
set -euo pipefail
source_dir=${1:?usage: reproducible_test.sh SOURCE-DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {  # build FOLDER: copy the tracked sources there and build the image
  mkdir -p "$1/src"
  (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard 2>/dev/null || find . -path ./build\* -prune -o -type f -print0) |
    (cd "$source_dir" && xargs -0 cp --parents -t "$1/src")
  cmake -S "$1/src" -B "$1/out" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$1/out" --target image boot_script >/dev/null 2>&1
}

build "$work/first"
build "$work/second/elsewhere"
table="python3 $1/lib/machines.py"
for image in $($table images . Tamberlune) $($table images . BootOptions) boot.scr; do
  a=$work/first/out/$image
  b=$work/second/elsewhere/out/$image
  if cmp "$a" "$b"; then
    echo "$image identical: $(stat -c %s "$a") bytes, sha256 $(sha256sum "$a" | cut -c1-16)"
  else
    echo "the two builds of $image differ" >&2
    exit 1
  fi
done
