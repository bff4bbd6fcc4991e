#!/usr/bin/env bash
# Installs what building and running needs, builds the programs alone (no tests, no
# benchmarks): build/velmora and build/velmora-send, and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh run velmora velmora-send
exec build/velmora "$@"
