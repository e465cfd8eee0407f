#!/usr/bin/env bash
# Sets up, builds and runs every test of the host build, then builds and checks vcom.sys.
# Usage: scripts/test.sh [debug|asan|tsan]   (default debug)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -E '^Bounded/'
# The randomized stress seeds. They run under the deterministic scheduler, so a failure is the
# seed's and is not run again; only ThreadSanitizer runs them free on the machine's threads,
# where timing varies, and a failing seed is run again (three times in all, every failure printed).
if [ "$preset" = tsan ]; then
  ctest --preset "$preset" -R '^Bounded/' --repeat until-pass:3
else
  ctest --preset "$preset" -R '^Bounded/'
fi
if [ "$preset" = debug ] && [ -x scripts/build-kernel.sh ]; then
  scripts/build-kernel.sh
fi
