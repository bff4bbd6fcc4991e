#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz/ with clang into build-fuzz/ and runs each for the
# given seconds (20 by default) from its seed corpus; a crash fails. Without clang, says so
# and succeeds.
#
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not installed; the fuzz targets are not built" >&2
  exit 0
fi
[ -f build-fuzz/build.ninja ] ||
  cmake -S tests/fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++
cmake --build build-fuzz --parallel "$(nproc)"
for target in FuzzFrames FuzzMessageText FuzzHandleArgument FuzzHandOffState FuzzChannelAnswers; do
  # New inputs go to a scratch folder; the committed seeds stay as they are.
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/velmora-fuzz.XXXXXX")
  echo "fuzz: $target for $seconds s"
  build-fuzz/$target -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build-fuzz/$target- "$scratch" tests/fuzz/corpus/$target 2>&1 |
    grep -E '^(stat::number_of_executed_units|#[0-9]+[[:space:]]+DONE|==[0-9]+==|SUMMARY|.*ERROR)' | tail -5
  status=${PIPESTATUS[0]}
  rm -rf "$scratch"
  [ "$status" -eq 0 ] || { echo "fuzz: $target failed" >&2; exit 1; }
done
