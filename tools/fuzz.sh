#!/usr/bin/env bash
# Builds the libFuzzer targets (with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time with a fixed
# seed, starting from the committed corpus (and, for the image reader, the
# built image). Fails on any finding; the input that found it is kept in
# build-fuzz/artifacts/.
#   tools/fuzz.sh [--seconds N] [--target format|image|all]
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: tools/fuzz.sh [--seconds N] [--target format|image|all]" >&2; exit 2; }
seconds=60
target=all
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) [[ "${2:-}" =~ ^[0-9]+$ ]] || usage; seconds=$2; shift 2 ;;
    --target) [[ "${2:-}" =~ ^(format|image|all)$ ]] || usage; target=$2; shift 2 ;;
    *) usage ;;
  esac
done

tools/install-deps.sh
cmake -S . -B build-fuzz -DTAMBERLUNE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)" >/dev/null

mkdir -p build-fuzz/artifacts build-fuzz/corpus/format build-fuzz/corpus/image
cp tests/fuzz/corpus/format/* build-fuzz/corpus/format/
cp build-fuzz/Tamberlune.efi build-fuzz/corpus/image/

run() {  # run NAME BINARY: one bounded, seeded campaign
  echo "== fuzzing $1 for $seconds s"
  local log=build-fuzz/$1.log
  if ! "$2" -seed=1 -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix=build-fuzz/artifacts/ "build-fuzz/corpus/$1" >"$log" 2>&1; then
    tail -40 "$log" >&2
    echo "fuzz: $1 found a fault; the input is in build-fuzz/artifacts/" >&2
    exit 1
  fi
  local runs speed
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "$1: $runs executions, $speed per second, nothing found"
}

[ "$target" = image ] || run format build-fuzz/tests/fuzz/format_core_fuzzer
[ "$target" = format ] || run image build-fuzz/tests/fuzz/pe_image_fuzzer
