#!/usr/bin/env bash
# Builds with a sanitizer into its own folder and runs tests there; any report fails.
#
#   scripts/sanitize.sh address   AddressSanitizer and UBSan, build-asan/: the whole suite,
#                                 the end-to-end tests' programs included
#   scripts/sanitize.sh thread    ThreadSanitizer, build-tsan/: the unit tests of nox/,
#                                 socket/, app/ and the log store
set -euo pipefail
cd "$(dirname "$0")/.."

configure() {
  local folder=$1 sanitizers=$2
  [ -f "$folder/build.ninja" ] ||
    cmake -S . -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVELMORA_BUILD_TESTS=ON -DVELMORA_SANITIZE="$sanitizers"
}

case "${1:-}" in
  address)
    configure build-asan address,undefined
    cmake --build build-asan --parallel "$(nproc)"
    # Leaks are not checked: Qt keeps its singletons to the end of the process.
    export ASAN_OPTIONS=halt_on_error=1:detect_leaks=0
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    export VELMORA_SANITIZER_REPORTS=1
    # The package checks look at the shipped build, not at this one.
    ctest --test-dir build-asan --output-on-failure --timeout 900 -j "$(nproc)" -E '^program_package$'
    ;;
  thread)
    tests=(velmora_nox_tests velmora_socket_tests velmora_app_tests velmora_platform_store_tests)
    configure build-tsan thread
    targets=()
    for t in "${tests[@]}"; do targets+=(--target "$t"); done
    cmake --build build-tsan --parallel "$(nproc)" "${targets[@]}"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
    export QT_QPA_PLATFORM=offscreen
    for t in "${tests[@]}"; do
      echo "thread: $t"
      "$(find build-tsan/tests -name "$t" -type f -executable)" --gtest_brief=1
    done
    ;;
  *)
    echo "usage: $0 address|thread" >&2
    exit 2
    ;;
esac
