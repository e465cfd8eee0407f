#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`) and runs each for the given seconds (default 60)
# from a copy of its seed corpus in fuzz/corpus/<target>/, so the repository stays clean.
# Prints one figures line per target and fails on any finding (crash, verifier fault, leak,
# timeout); the input that found it is kept in the run's temporary directory.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2
work=$(mktemp -d /tmp/vcom-fuzz.XXXXXX)
failed=0
for target in ioctl_fuzz registry_fuzz status_fuzz; do
  corpus="$work/$target/corpus"
  mkdir -p "$corpus" "$work/$target/artifacts"
  cp fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
  log="$work/$target/log"
  rc=0
  # -timeout: one input taking this long (wall clock) is a hang. The emulation keeps some
  # state per input, hence the generous memory limit.
  build/fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=8192 \
    -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" "$corpus" >"$log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
  echo "fuzz: $target: ${execs:-?} executions in ${seconds} s, ${rate:-?} exec/s, coverage ${cov:-?} edges (${ft:-?} features), corpus $(ls "$corpus" | wc -l) inputs, peak RSS ${rss:-?} MB"
  if [ "$rc" -ne 0 ] || ls "$work/$target/artifacts/" | grep -q .; then
    echo "fuzz: $target FAILED (exit $rc); log $log, inputs:" >&2
    ls "$work/$target/artifacts/" >&2 || true
    grep -E "vcomfuzz:|ERROR|SUMMARY" "$log" | head -20 >&2 || true
    failed=1
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "fuzz: findings kept in $work" >&2
  exit 1
fi
rm -rf "$work"
