#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the image twice, from copies of the sources in two different folders
# with two different build folders, and requires byte-identical images.
set -euo pipefail
source_dir=${1:?usage: reproducible_test.sh SOURCE-DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {  # build FOLDER: copy the tracked sources there and build the image
  mkdir -p "$1/src"
  (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard 2>/dev/null || find . -path ./build\* -prune -o -type f -print0) |
    (cd "$source_dir" && xargs -0 cp --parents -t "$1/src")
  cmake -S "$1/src" -B "$1/out" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$1/out" --target image >/dev/null 2>&1
}

build "$work/first"
build "$work/second/elsewhere"
a=$work/first/out/Tamberlune.efi
b=$work/second/elsewhere/out/Tamberlune.efi
if cmp "$a" "$b"; then
  echo "identical: $(stat -c %s "$a") bytes, sha256 $(sha256sum "$a" | cut -c1-16)"
else
  echo "the two builds differ" >&2
  exit 1
fi
