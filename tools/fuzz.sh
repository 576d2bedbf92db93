#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets (with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time with a fixed
# seed, starting from the committed corpus (and, for the image reader, the
# built image). Fails on any finding; the input that found it is kept in
# build-fuzz/artifacts/.
set -euo pipefail
# Read whole before it runs: bash parses a script a command at a time, and a
# trapped signal that arrives while it parses one breaks the parse.
{
repo=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
TAMBERLUNE_LIBRARY=$repo/lib
cd "$repo"

. "$TAMBERLUNE_LIBRARY/command.sh"
tamberlune_command fuzz

tamberlune_help() {
  cat <<'USAGE'
Usage: tools/fuzz.sh [--seconds N] [--target format|image|all]
Fuzzes the format engine (format) and the image reader (image) with libFuzzer,
AddressSanitizer and UndefinedBehaviorSanitizer, from a fixed seed and the
committed corpus, and prints progress every 10 seconds.
  --seconds N   how long each target runs, a whole number of seconds above 0
                (default 60; both targets take twice that)
  --target T    format, image or all (default all)
Exit status 0 when nothing was found, 1 on a finding (the input is kept in
build-fuzz/artifacts/) or a failed run, 2 on bad arguments, 130 or 143 when
interrupted.
Example:
  tools/fuzz.sh --seconds 300 --target format
USAGE
}

tamberlune_arguments "--seconds= --target=" 0 "$@"
seconds=$(tamberlune_option --seconds 60)
[[ "$seconds" =~ ^[0-9]+$ ]] && [ "$((10#$seconds))" -gt 0 ] ||
  tamberlune_refuse "--seconds takes a whole number of seconds above 0, not '$seconds'"
seconds=$((10#$seconds))
target=$(tamberlune_option --target all)
[[ "$target" =~ ^(format|image|all)$ ]] || tamberlune_refuse "--target takes format, image or all, not '$target'"
targets=(format image)
[ "$target" = all ] || targets=("$target")

tamberlune_needs build
tamberlune_needs fuzz
echo "== building the fuzzing tree build-fuzz/"
tamberlune_run cmake -S . -B build-fuzz -DTAMBERLUNE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
tamberlune_run_into build-fuzz/build.log cmake --build build-fuzz -j "$(nproc)" ||
  { cat build-fuzz/build.log >&2; echo "fuzz: the build failed" >&2; exit 1; }

mkdir -p build-fuzz/artifacts build-fuzz/corpus/format build-fuzz/corpus/image
cp tests/fuzz/corpus/format/* build-fuzz/corpus/format/
cp build-fuzz/Tamberlune.efi build-fuzz/TamberluneIA32.efi build-fuzz/corpus/image/
total=$((seconds * ${#targets[@]}))
echo "== fuzzing ${targets[*]} for $seconds s each: $((total / 60)) min $((total % 60)) s in all"

fuzzer=
stop() {
  [ -z "$fuzzer" ] || kill "$fuzzer" 2>/dev/null || true
  [ -n "$TAMBERLUNE_QUIET_INTERRUPT" ] || echo "fuzz: interrupted; nothing was found before that" >&2
  exit "$1"
}
trap 'stop 130' INT
trap 'stop 143' TERM
trap 'stop 129' HUP

run() {  # run NAME BINARY: one bounded, seeded campaign
  local log=build-fuzz/$1.log start=$SECONDS before after status=0
  before=$(ls build-fuzz/artifacts | wc -l)
  "$2" -seed=1 -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/artifacts/ "build-fuzz/corpus/$1" >"$log" 2>&1 &
  fuzzer=$!
  while kill -0 "$fuzzer" 2>/dev/null; do
    sleep 1 & wait $! || true
    if [ $(((SECONDS - start) % 10)) -eq 0 ] && kill -0 "$fuzzer" 2>/dev/null; then
      local line
      # Only whole status lines: the fuzzer may be half-way through writing the last one.
      line=$(grep -a -E '^#[0-9]+[[:space:]].*cov: [0-9]+ .*exec/s: [0-9]+ rss:' "$log" | tail -1 |
             sed -E 's/^#([0-9]+).*cov: ([0-9]+).*exec\/s: ([0-9]+).*/\1 runs, coverage \2, \3 per second/' || true)
      echo "$1: $((SECONDS - start)) of $seconds s: ${line:-starting}"
    fi
  done
  wait "$fuzzer" || status=$?
  fuzzer=
  after=$(ls build-fuzz/artifacts | wc -l)
  if [ "$after" -gt "$before" ]; then
    tail -40 "$log" >&2
    echo "fuzz: $1 found a fault; the input is in build-fuzz/artifacts/: $(ls -t build-fuzz/artifacts | head -1)" >&2
    exit 1
  fi
  if [ "$status" -ne 0 ]; then
    tail -20 "$log" >&2
    echo "fuzz: $1 stopped with status $status and no finding; its log is $log" >&2
    exit 1
  fi
  local runs speed
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "$1: $runs executions, $speed per second, nothing found"
}

for name in "${targets[@]}"; do
  case "$name" in
    format) run format build-fuzz/tests/fuzz/format_core_fuzzer ;;
    image) run image build-fuzz/tests/fuzz/pe_image_fuzzer ;;
  esac
done
exit
}
