#!/usr/bin/env bash
# Instructions per byte executed in the driver's own code on the receive and the transmit path,
# counted by callgrind (deterministic, unlike time) over a vcomctl loopback run.
# Usage: scripts/instructions-per-byte.sh [bytes] [extra vcomctl loopback options]
set -euo pipefail
cd "$(dirname "$0")/.."
bytes=${1:-262144}
shift || true
command -v valgrind >/dev/null || { echo "instructions-per-byte: valgrind is needed (apt-get install valgrind)"; exit 1; }
cmake --preset release >/dev/null
cmake --build --preset release --target vcomctl >/dev/null
out=$(mktemp -d)
valgrind --tool=callgrind --callgrind-out-file="$out/cg.out" \
  build/release/tools/vcomctl/vcomctl loopback --bytes "$bytes" --rx-req 4096 "$@" >"$out/run.txt" 2>"$out/valgrind.txt"
grep -q "no loss" "$out/run.txt" || { cat "$out/run.txt"; exit 1; }
# Self cost per source file; the driver's files are grouped by the path they belong to.
callgrind_annotate --inclusive=no --threshold=100 "$out/cg.out" 2>/dev/null >"$out/annotate.txt"
awk -v bytes="$bytes" '
  /driver\/vcom\// {
    gsub(",", "", $1); n = $1 + 0
    if ($0 ~ /driver\/vcom\/receive\//) rx += n
    else if ($0 ~ /driver\/vcom\/transmit\//) tx += n
    else other += n
  }
  END {
    printf "driver instructions per byte over %d bytes (loopback, 4096-byte reads and writes):\n", bytes
    printf "  receive path  (driver/vcom/receive)   %8.1f\n", rx / bytes
    printf "  transmit path (driver/vcom/transmit)  %8.1f\n", tx / bytes
    printf "  rest of the driver                    %8.1f\n", other / bytes
  }' "$out/annotate.txt"
rm -rf "$out"
