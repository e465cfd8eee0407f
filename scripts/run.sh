#!/usr/bin/env bash
# Sets up, builds and runs the main job: vcomctl on the simulated device.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset debug >/dev/null
cmake --build --preset debug --target vcomctl
exec build/debug/tools/vcomctl/vcomctl "$@"
