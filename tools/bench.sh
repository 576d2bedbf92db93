#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds the benchmark and writes its results to
# build/performance.md: time per call (Google Benchmark) and instructions per
# call (callgrind) for Tamberlune, snprintf, stb_sprintf and {fmt}. With
# --update-docs it also rewrites the results part of docs/performance.md.
set -euo pipefail
# Read whole before it runs: bash parses a script a command at a time, and a
# trapped signal that arrives while it parses one breaks the parse.
{
repo=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
TAMBERLUNE_LIBRARY=$repo/lib
cd "$repo"

. "$TAMBERLUNE_LIBRARY/command.sh"
tamberlune_command bench

tamberlune_help() {
  cat <<'USAGE'
Usage: tools/bench.sh [--calls N] [--update-docs]
Benchmarks the format engine beside snprintf, stb_sprintf and {fmt} and writes
the results to build/performance.md.
  --calls N       calls per job under callgrind (default 20000)
  --update-docs   also write the results into docs/performance.md
Outside the repository it changes one thing, and says so first: as root, where
the en_US.UTF-8 locale is missing, it installs Debian's locales package and
generates that locale (snprintf and {fmt} group digits only under it).
Exit status 0 when the benchmark ran, 2 on bad arguments.
Example:
  tools/bench.sh --calls 2000
USAGE
}

tamberlune_arguments "--calls= --update-docs" 0 "$@"
calls=$(tamberlune_option --calls 20000)
[[ "$calls" =~ ^[0-9]+$ ]] && [ "$((10#$calls))" -gt 0 ] ||
  tamberlune_refuse "--calls takes a whole number above 0, not '$calls'"
calls=$((10#$calls))
update_docs=$(tamberlune_option --update-docs no)

tamberlune_needs build
tamberlune_needs bench
# snprintf and {fmt} group digits (W7) only under a locale that says how.
if ! locale -a 2>/dev/null | grep -qi '^en_US.utf8$'; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "bench: generating the en_US.UTF-8 locale for this machine (package locales, /etc/locale.gen)"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends locales >/dev/null
    sed -i 's/^# *en_US.UTF-8 UTF-8/en_US.UTF-8 UTF-8/' /etc/locale.gen
    locale-gen >/dev/null
  else
    echo "bench: no en_US.UTF-8 locale; W7 runs without snprintf and {fmt} (as root this script makes one)" >&2
  fi
fi
tamberlune_run cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBERLUNE_BENCHMARK=ON >/dev/null
tamberlune_run cmake --build build -j "$(nproc)" --target tamberlune_bench >/dev/null
outputs=(--write build/performance.md)
[ "$update_docs" = no ] || outputs+=(--write docs/performance.md)
tamberlune_run python3 bench/run.py build/bench/tamberlune_bench --calls "$calls" "${outputs[@]}" >/dev/null
echo "bench: results in build/performance.md"
[ "$update_docs" = no ] || echo "bench: results written into docs/performance.md"
exit
}
