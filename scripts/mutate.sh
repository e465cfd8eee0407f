#!/usr/bin/env bash
# How strong is the suite: applies each plausible driver fault of scripts/mutants.tsv, one at a
# time, to a scratch copy of the committed tree, rebuilds it incrementally and runs the driver
# tests, the scenarios, the device model's tests (some run the port above it) and the race
# scenarios against it. A mutant is caught when a test fails, the verifier stops it, or a test
# program runs past its time limit (a hang); it survives when every test passes.
#
# Usage: scripts/mutate.sh [--check] [N ...]
#   --check   only verify that every mutant still applies to the current sources
#   N ...     run only these mutants (line numbers among the mutants, from 1)
# Environment: MUTATE_DIR   scratch directory (default: $TMPDIR or /tmp, then vcom-mutate)
#              MUTATE_LIMIT seconds each test program may run per mutant (default 120)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list="$root/scripts/mutants.tsv"
work=${MUTATE_DIR:-${TMPDIR:-/tmp}/vcom-mutate}
limit=${MUTATE_LIMIT:-120}
src="$work/src"
build="$work/build"
programs=(driver_tests win32_tests usbpipe_tests race_tests)

check_only=0
if [ "${1:-}" = "--check" ]; then
  check_only=1
  shift
fi
only=("$@")

# Applies mutant N ($1) to the tree at $2.
apply() {
  python3 - "$list" "$1" "$2" <<'EOF'
import sys
listing, n, tree = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rows = [l.rstrip("\n").split("\t") for l in open(listing) if l.strip() and not l.startswith("#")]
path, occ, text, repl, _ = rows[n - 1]
text, repl, occ = text.replace("\\n", "\n"), repl.replace("\\n", "\n"), int(occ)
full = f"{tree}/driver/vcom/{path}"
body = open(full).read()
count = body.count(text)
if (occ == 0 and count != 1) or occ > count or count == 0:
    sys.exit(f"mutant {n}: text found {count} times in {path}")
at = -1
for _ in range(max(occ, 1)):
    at = body.index(text, at + 1)
open(full, "w").write(body[:at] + repl + body[at + len(text):])
EOF
}

total=$(grep -v '^#' "$list" | grep -c .)
describe() { grep -v '^#' "$list" | grep . | sed -n "${1}p" | cut -f1,5 | tr '\t' ' '; }

if [ "$check_only" = 1 ]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  git -C "$root" archive HEAD driver | tar -x -C "$tmp"
  bad=0
  for n in $(seq 1 "$total"); do
    cp -r "$tmp/driver" "$tmp/orig" 2>/dev/null || true
    apply "$n" "$tmp" || bad=1
    rm -rf "$tmp/driver" && mv "$tmp/orig" "$tmp/driver"
  done
  [ "$bad" = 0 ] && echo "all $total mutants apply"
  exit "$bad"
fi

# The scratch copy: the committed tree, synced by content so that unchanged files keep their
# times and the build stays incremental across runs.
mkdir -p "$src" "$build"
stage=$(mktemp -d)
git -C "$root" archive HEAD | tar -x -C "$stage"
python3 - "$stage" "$src" <<'EOF'
import filecmp, os, shutil, sys
stage, src = sys.argv[1], sys.argv[2]
for d, _, files in os.walk(stage):
    for f in files:
        a = os.path.join(d, f)
        b = os.path.join(src, os.path.relpath(a, stage))
        if not os.path.exists(b) or not filecmp.cmp(a, b, shallow=False):
            os.makedirs(os.path.dirname(b), exist_ok=True)
            shutil.copy(a, b)  # a fresh time, so the build sees the change
EOF
rm -rf "$stage"
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null

build_and_test() {
  nice -n 10 cmake --build "$build" --target "${programs[@]}" -j2 >"$work/build.log" 2>&1 || return 2
  for p in "${programs[@]}"; do
    local rc=0
    (cd "$build" && timeout "$limit" "$(find . -name "$p" -type f -perm -u+x | head -1)" \
      --gtest_fail_fast --gtest_brief=1 >"$work/test.log" 2>&1) || rc=$?
    [ "$rc" = 124 ] && return 3
    [ "$rc" != 0 ] && return 1
  done
  return 0
}

echo "baseline: building and running ${programs[*]} unmutated"
if ! build_and_test; then
  echo "baseline fails: see $work/build.log and $work/test.log" >&2
  exit 1
fi

results="$work/results.tsv"
: >"$results"
caught=0
ran=0
for n in $(seq 1 "$total"); do
  if [ "${#only[@]}" -gt 0 ] && [[ ! " ${only[*]} " =~ " $n " ]]; then
    continue
  fi
  file=$(grep -v '^#' "$list" | grep . | sed -n "${n}p" | cut -f1)
  cp -p "$src/driver/vcom/$file" "$work/original"
  start=$(date +%s)
  verdict=survived
  if ! apply "$n" "$src"; then
    verdict=stale
  else
    rc=0
    build_and_test || rc=$?
    case $rc in
      0) verdict=survived ;;
      1) verdict=caught ;;
      2) verdict=no-build ;;
      3) verdict=caught-hang ;;
    esac
  fi
  cp "$work/original" "$src/driver/vcom/$file"
  touch "$src/driver/vcom/$file"
  secs=$(($(date +%s) - start))
  case $verdict in
    caught*) caught=$((caught + 1)); ran=$((ran + 1)) ;;
    survived) ran=$((ran + 1)) ;;
  esac
  printf '%2d\t%s\t%ss\t%s\n' "$n" "$verdict" "$secs" "$(describe "$n")" | tee -a "$results"
done
echo "score: $caught of $ran mutants caught (results in $results)"
