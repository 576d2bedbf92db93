#!/usr/bin/env bash
# Installs what is missing, builds the benchmark and writes its results into
# docs/performance.md: time per call (Google Benchmark) and instructions per
# call (callgrind) for Tamberlune, snprintf, stb_sprintf and {fmt}.
#   tools/bench.sh [--calls N]     N calls per job under callgrind (default 20000)
set -euo pipefail
cd "$(dirname "$0")/.."

calls=20000
case "${1:-}" in
  "") ;;
  --calls) [[ "${2:-}" =~ ^[0-9]+$ ]] || { echo "usage: tools/bench.sh [--calls N]" >&2; exit 2; }; calls=$2 ;;
  *) echo "usage: tools/bench.sh [--calls N]" >&2; exit 2 ;;
esac

tools/install-deps.sh
# snprintf and {fmt} group digits (W7) only under a locale that says how.
if ! locale -a 2>/dev/null | grep -qi '^en_US.utf8$'; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends locales >/dev/null
    sed -i 's/^# *en_US.UTF-8 UTF-8/en_US.UTF-8 UTF-8/' /etc/locale.gen
    locale-gen >/dev/null
  else
    echo "bench: no en_US.UTF-8 locale; W7 runs without snprintf and {fmt} (as root this script makes one)" >&2
  fi
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target tamberlune_bench >/dev/null
python3 bench/run.py build/bench/tamberlune_bench --calls "$calls" --write docs/performance.md
