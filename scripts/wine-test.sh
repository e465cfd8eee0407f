#!/usr/bin/env bash
# Runs the real vcom.sys on Wine's kernel: builds vcom.sys and the test bus driver (testbus.sys),
# creates a fresh Wine prefix, installs the bus and, on its two child devices, vcom.sys as a
# synchronous port (COM7) and an asynchronous port (COM8), then runs commcheck (a program that
# uses only the Win32 communications functions) and the scenario suite on both ports.
# Prints one summary line per program; exit status 0 when everything passed.
# Usage: scripts/wine-test.sh [build-dir]   (default: build-wine)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-wine}
mkdir -p "$build"
build=$(cd "$build" && pwd)
started=$(date +%s)
say() { echo "wine-test: $*"; }

# ---- what it needs ----
export PATH="/usr/lib/wine:$PATH"   # Debian's wine64 keeps wine64 and wineserver there
if ! command -v wine64 >/dev/null; then
  say "installing wine64"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends wine64 >/dev/null ||
    { "${sudo[@]}" apt-get update >/dev/null && "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends wine64 >/dev/null; }
fi
command -v x86_64-w64-mingw32-gcc >/dev/null || { say "mingw-w64 not found (run scripts/setup.sh)"; exit 1; }

# ---- build: the drivers, the Win32 helpers and the scenario suite ----
kbuild="$root/build-kernel"   # shared with scripts/test.sh, which builds vcom.sys there too
"$root/scripts/build-kernel.sh" "$kbuild" >"$build/build-kernel.log" 2>&1 ||
  { cat "$build/build-kernel.log"; exit 1; }
"$kbuild/pecheck" "$kbuild/testbus.sys" --fix-checksum >/dev/null
"$kbuild/pecheck" "$kbuild/testbus.sys" --exports "$kbuild/kernel-exports.txt" --map "$kbuild/testbus.map" >/dev/null
"$root/scripts/build-win32-scenarios.sh" "$root/build-win32" >"$build/build-win32.log" 2>&1 ||
  { cat "$build/build-win32.log"; exit 1; }
pkg="$build/pkg"
rm -rf "$pkg"
mkdir -p "$pkg"
cp "$kbuild/vcom.sys" "$kbuild/testbus.sys" "$root"/kernel/testbus/*.inf "$pkg/"
cp "$root/build-win32/vcom_scenarios.exe" "$pkg/"
cc=(x86_64-w64-mingw32-gcc -O1 -Wall -Wextra -Werror -static)
"${cc[@]}" -o "$pkg/install.exe" "$root/kernel/wine/install.c" -lsetupapi -lnewdev
"${cc[@]}" -o "$pkg/commcheck.exe" "$root/kernel/wine/commcheck.c"
"${cc[@]}" -o "$pkg/buslog.exe" "$root/kernel/wine/buslog.c"
say "built in $(( $(date +%s) - started )) s"

# ---- a fresh prefix, headless; nothing of Wine is left running afterwards ----
tmp=$(mktemp -d)
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
logs="$build/logs"
rm -rf "$logs"
mkdir -p "$logs"
wine() { wine64 "$@" </dev/null; }

t0=$(date +%s)
wine wineboot -i >"$logs/wineboot.log" 2>&1
# Installing in the session that created the prefix fails (setupapi cannot open the service it
# just created); a new session installs cleanly.
wineserver -w
wineserver -p 60 </dev/null >/dev/null 2>&1   # keeps the devices loaded between programs
wine "$pkg/install.exe" "Z:${pkg//\//\\}" >"$logs/install.log" 2>&1 || { cat "$logs/install.log"; exit 1; }
say "prefix and install in $(( $(date +%s) - t0 )) s: $(tail -1 "$logs/install.log")"

failed=0

# ---- commcheck on both ports, then the device commands COM7's device received ----
for port in COM7 COM8; do
  if wine "$pkg/commcheck.exe" "$port" >"$logs/commcheck-$port.log" 2>&1; then
    say "$(tail -1 "$logs/commcheck-$port.log")"
  else
    cat "$logs/commcheck-$port.log"
    say "$(tail -1 "$logs/commcheck-$port.log") FAILED"
    failed=1
  fi
done
wine "$pkg/buslog.exe" 0 >"$logs/commands-COM7.txt" 2>&1
# Open (port on, DTR and RTS on), 115200 8N1 without flow control, close (port off), in order.
if tr -d '\r' <"$logs/commands-COM7.txt" | tr '\n' '|' | grep -q '^03 01|01 03|.*00 08 01|.*03 00|'; then
  say "buslog COM7: $(wc -l <"$logs/commands-COM7.txt") device commands, open, line settings and close as sent"
else
  cat "$logs/commands-COM7.txt"
  say "buslog COM7: the device commands are not what commcheck's calls send FAILED"
  failed=1
fi

# ---- the scenario suite, each port in its transmit mode ----
# Scenarios a Wine 8 behaviour makes impossible skip themselves with the reason when the suite
# finds itself on Wine (tests/win32/windows/fixture_windows.cpp; README, "vcom.sys on Wine").
# Without IRP_MJ_CLEANUP the asynchronous transmit buffer is not emptied at close, and what a
# timed-out write left in it goes out after the next open: the scenario that leaves bytes there
# runs last, in a process of its own.
last="Modes/PortWriteTimeouts.*"
scenarios() {  # mode port filter -> counts added to passed/bad/other; log appended
  local status=0 log="$logs/scenarios-run.log"
  VCOM_TEST_PORT=$2 VCOM_TEST_TXMODE=$1 timeout 900 wine64 "$pkg/vcom_scenarios.exe" "--gtest_filter=$3" \
    </dev/null >"$log" 2>&1 || status=$?
  local p o b w
  p=$(tr -d '\r' <"$log" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\./\1/p' | tail -1)
  o=$(tr -d '\r' <"$log" | sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below:/\1/p' | tail -1)
  b=$(tr -d '\r' <"$log" | sed -n 's/^ *\([0-9]*\) FAILED TESTS\?/\1/p' | tail -1)
  w=$(grep -c '^under Wine: ' "$log" || true)
  [ -n "$p" ] || status=1
  passed=$((passed + ${p:-0})); wine=$((wine + w)); other=$((other + ${o:-0} - w)); bad=$((bad + ${b:-0}))
  cat "$log" >>"$logs/scenarios-$1.log"
  echo "---- end of run (exit $status)" >>"$logs/scenarios-$1.log"
  rm -f "$log"
  return $status
}
for run in "sync COM7" "async COM8"; do
  set -- $run
  t1=$(date +%s)
  rm -f "$logs/scenarios-$1.log"
  passed=0 wine=0 other=0 bad=0 status=0
  scenarios "$1" "$2" "-$last" || status=1
  scenarios "$1" "$2" "$last" || status=1
  line="vcom_scenarios $1 transmit ($2): $passed passed, $bad failed, $wine skipped for Wine,"
  line+=" $other skipped by the fixture (the other transmit mode or no surprise removal), $(( $(date +%s) - t1 )) s"
  if [ "$status" -ne 0 ] || [ "$bad" -ne 0 ]; then
    grep -v '^\[       OK \]\|^\[ RUN      \]\|Skipped$\|transmit mode is configured\|^\[  SKIPPED \]' \
      "$logs/scenarios-$1.log" | tail -60
    say "$line FAILED"
    failed=1
  else
    say "$line"
  fi
done
tr -d '\r' <"$logs/scenarios-sync.log" | grep -B2 '^under Wine: ' | sed -n 's/^\[ RUN      \] \(.*\)/\1/p;s/^under Wine: \(.*\)/  \1/p' |
  paste -d '|' - - | sed 's/|  */: /; s/^/wine-test: skipped under Wine: /'

say "total $(( $(date +%s) - started )) s"
exit $failed
