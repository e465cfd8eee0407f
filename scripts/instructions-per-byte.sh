#!/usr/bin/env bash
# Instructions per byte executed in the driver's own code on the receive and the transmit path,
# counted by callgrind (deterministic, unlike time) over a vcomctl loopback run.
#
# Self cost only, taken per source line from the callgrind output: what the emulation, the device
# model and the C library run on the driver's behalf is theirs, not the driver's (the source
# annotation's "=>" lines carry a call's inclusive cost and are not summed). Busy-wait loops (a
# `while (...) {}` with an empty body) are left out: under valgrind, which runs one thread at a
# time, a spinning thread spins until it is switched out, so their count measures the scheduler.
# Usage: scripts/instructions-per-byte.sh [bytes] [extra vcomctl loopback options]
set -euo pipefail
cd "$(dirname "$0")/.."
bytes=${1:-262144}
shift || true
command -v valgrind >/dev/null || { echo "instructions-per-byte: valgrind is needed (apt-get install valgrind)"; exit 1; }
command -v python3 >/dev/null || { echo "instructions-per-byte: python3 is needed"; exit 1; }
cmake --preset release >/dev/null
cmake --build --preset release --target vcomctl >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --callgrind-out-file="$out/cg.out" \
  build/release/tools/vcomctl/vcomctl loopback --bytes "$bytes" --rx-req 4096 "$@" >"$out/run.txt" 2>"$out/valgrind.txt"
grep -q "no loss" "$out/run.txt" || { cat "$out/run.txt"; exit 1; }
python3 - "$out/cg.out" "$bytes" <<'EOF'
import collections, os, re, sys

path, nbytes = sys.argv[1], int(sys.argv[2])
names = {}      # compressed file names: "(12)" -> path
fnames = {}     # compressed function names
copies = collections.Counter()  # path -> instructions of memcpy/memmove/memset called from the driver
callee = ""
cost = collections.Counter()  # (driver-relative file, line) -> self instructions
current = None  # file of the cost lines that follow (fl=, or fi=/fe= for inlined code)
function_file = None
line = 0
skip_next = False  # the line after calls= holds the call's inclusive cost

def name_of(value, table=names):
    m = re.match(r"\((\d+)\)(?: (.*))?", value)
    if not m:
        return value
    if m.group(2) is not None:
        table[m.group(1)] = m.group(2)
    return table.get(m.group(1), "")

def path_of(fname):
    if fname.startswith("driver/vcom/receive/"):
        return "rx"
    if fname.startswith("driver/vcom/transmit/"):
        return "tx"
    return "other"

def driver_file(p):
    i = p.find("driver/vcom/")
    return p[i:] if i >= 0 else None

with open(path) as f:
    for raw in f:
        s = raw.rstrip("\n")
        if not s:
            continue
        c = s[0]
        if c.isdigit() or c in "+-*":
            parts = s.split()
            pos = parts[0]
            if pos == "*":
                pass
            elif pos[0] in "+-":
                line += int(pos)
            else:
                line = int(pos)
            if skip_next:
                skip_next = False
                if current and re.search(r"mem(cpy|move|set)", callee) and len(parts) > 1:
                    copies[path_of(current)] += int(parts[1])
                continue
            if current and len(parts) > 1:
                cost[(current, line)] += int(parts[1])
            continue
        key, _, value = s.partition("=")
        if key == "fl":
            function_file = driver_file(name_of(value))
            current = function_file
        elif key in ("fi", "fe"):
            current = driver_file(name_of(value))
        elif key == "fn":
            name_of(value, fnames)
            current = function_file
        elif key == "cfn":
            callee = name_of(value, fnames)
        elif key in ("cfl", "cfi"):
            name_of(value)  # may define a compressed name used later
        elif key == "calls":
            skip_next = True

# Empty-bodied while loops of the driver's sources: the condition line and the closing brace.
spins = set()
for fname in {f for f, _ in cost}:
    try:
        src = open(fname).read().split("\n")
    except OSError:
        continue
    for i, text in enumerate(src):
        t = text.strip()
        if re.match(r"while \(.*\)\s*(;|\{\s*\})$", t) or (
            re.match(r"while \(.*\)\s*\{$", t) and i + 1 < len(src) and src[i + 1].strip() == "}"
        ):
            spins.add((fname, i + 1))
            spins.add((fname, i + 2))

paths = {"rx": 0, "tx": 0, "other": 0}
spun = 0
for (fname, ln), n in cost.items():
    if (fname, ln) in spins:
        spun += n
        continue
    paths[path_of(fname)] += n
print(f"driver instructions per byte over {nbytes} bytes (loopback, 4096-byte reads and writes):")
print("                                        own code   + byte copies it calls")
for key, label in (("rx", "receive path  (driver/vcom/receive)"), ("tx", "transmit path (driver/vcom/transmit)"),
                   ("other", "rest of the driver")):
    print(f"  {label:37s} {paths[key] / nbytes:8.2f}   {(paths[key] + copies[key]) / nbytes:8.2f}")
print(f"  busy-wait loops, left out             {spun / nbytes:8.2f}")
EOF
