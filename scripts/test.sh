#!/usr/bin/env bash
# Sets up, builds and runs every test of the host build, then builds and checks vcom.sys.
# Usage: scripts/test.sh [debug|asan|tsan]   (default debug)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
if [ "$preset" = debug ] && [ -x scripts/build-kernel.sh ]; then
  scripts/build-kernel.sh
fi
