#!/usr/bin/env bash
# Cross-compiles the scenario suite (tests/win32/scenario_*.cpp) with mingw-w64 into a Windows
# console program, vcom_scenarios.exe, that runs them against a real port with a loopback plug.
# Usage: scripts/build-win32-scenarios.sh [build-dir]   (default: build-win32)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-win32}
command -v x86_64-w64-mingw32-g++ >/dev/null || { echo "build-win32-scenarios: x86_64-w64-mingw32-g++ not found" >&2; exit 1; }
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S "$root/tests/win32/windows" -B "$build" --toolchain "$root/cmake/mingw-w64.cmake" "${gen[@]}" >/dev/null
cmake --build "$build" -j2
echo "build-win32-scenarios: $build/vcom_scenarios.exe (VCOM_TEST_PORT=COM7 by default)"
