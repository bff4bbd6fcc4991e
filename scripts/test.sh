#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs the whole test suite headless.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
ctest --test-dir build --output-on-failure --timeout 600 -j "$(nproc)"
