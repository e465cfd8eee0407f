#!/usr/bin/env bash
# Builds vcom.sys with mingw-w64, sets its checksum, checks the image and assembles the package
# (vcom.sys + vcom.inf). Usage: scripts/build-kernel.sh [build-dir]   (default: build-kernel)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-kernel}
mkdir -p "$build"
build=$(cd "$build" && pwd)
prefix=x86_64-w64-mingw32

for tool in $prefix-g++ $prefix-nm cmake c++; do
  command -v "$tool" >/dev/null || { echo "build-kernel: $tool not found" >&2; exit 1; }
done
libdir=$(dirname "$($prefix-g++ -print-file-name=libntoskrnl.a)")
[ -f "$libdir/libntoskrnl.a" ] && [ -f "$libdir/libhal.a" ] ||
  { echo "build-kernel: libntoskrnl.a/libhal.a not found (install mingw-w64-x86-64-dev)" >&2; exit 1; }

gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S "$root/kernel" -B "$build" --toolchain "$root/cmake/mingw-w64.cmake" "${gen[@]}" >/dev/null
cmake --build "$build"

# The checker is a host program; built directly so this script needs no host CMake tree.
c++ -std=c++20 -O1 -Wall -Wextra -Werror -o "$build/pecheck" \
  "$root/tools/pecheck/pecheck.cpp" "$root/tools/pecheck/main.cpp"
cmake -DNM="$prefix-nm" -DOUT="$build/kernel-exports.txt" \
  "-DLIBS=ntoskrnl.exe=$libdir/libntoskrnl.a;hal.dll=$libdir/libhal.a" \
  -P "$root/tools/pecheck/exports.cmake"

# GNU ld leaves the checksum zero; the kernel loader verifies it for boot drivers and signing tools expect it.
"$build/pecheck" "$build/vcom.sys" --fix-checksum
"$build/pecheck" "$build/vcom.sys" --exports "$build/kernel-exports.txt" --map "$build/vcom.map"

pkg="$build/package"
rm -rf "$pkg"
mkdir -p "$pkg"
cp "$build/vcom.sys" "$root/driver/vcom/vcom.inf" "$pkg/"
echo "build-kernel: package in $pkg (vcom.sys, vcom.inf)"
