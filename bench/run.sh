#!/usr/bin/env bash
# Builds the benchmark programs (32 bits, build/bench-win32), VrlnSchd.exe for
# 64 bits (build/bench-win64) and the shipped 32-bit release build of it
# (build/bench-win32-release, with the programs that measure its memory; at
# the benchmark programs' width), prepares a virtual display and a Wine prefix of
# its own (build/bench-prefix), runs every benchmark and prints the figures
# that docs/PERFORMANCE.md records. Takes about ten minutes; the machine
# should be otherwise idle, since every figure is a wall-clock or CPU time.
#   BENCH_IDLE_SECONDS  length of each idle sample (default 60)
#   BENCH_LAUNCHES      number of launches for the lateness, and of moments
#                       stored as due (default 24)
#   BENCH_PICKS         number of picks of "Suspend" (default 24)
#   BENCH_MENU_STARTS   number of program starts for each list size whose first
#                       menu is clicked open from outside (default 5)
#   BENCH_BITS          64 runs the benchmark programs as 64-bit ones, for a
#                       host that runs no 32-bit code (default 32)
set -uo pipefail
source "$(dirname "$0")/../scripts/common.sh"
cd "$VRLN_ROOT"
vrln_install || exit 1

IDLE_SECONDS=${BENCH_IDLE_SECONDS:-60}
LAUNCHES=${BENCH_LAUNCHES:-24}
PICKS=${BENCH_PICKS:-24}
MENU_STARTS=${BENCH_MENU_STARTS:-5}
B32=$VRLN_ROOT/build/bench-win32
B64=$VRLN_ROOT/build/bench-win64
REL32=$VRLN_ROOT/build/bench-win32-release
BITS=${BENCH_BITS:-32}
BIN=$VRLN_ROOT/build/bench-win$BITS/bin
# The shipped build: its memory is measured there, since Wine reads a file's
# debug information into the process's private memory.
REL=$VRLN_ROOT/build/bench-win$BITS-release
RELBIN=$REL/bin
OUT=$VRLN_ROOT/build/bench-out
JOBS=$(nproc)

rm -rf "$OUT"; mkdir -p "$OUT"

# build DIR TOOLCHAIN TARGETS...: quiet unless it fails; BUILD_OPTIONS are
# further cache settings (default: RelWithDebInfo).
build() {
  local dir=$1 toolchain=$2; shift 2
  # shellcheck disable=SC2086
  { cmake -S . -B "$dir" --toolchain "$toolchain" ${BUILD_OPTIONS:--DCMAKE_BUILD_TYPE=RelWithDebInfo} &&
    cmake --build "$dir" -j "$JOBS" --target "$@"; } >"$OUT/build.log" 2>&1 || { cat "$OUT/build.log"; exit 1; }
}
vrln_log "building (32 bits: $B32, 64 bits: $B64, 32-bit release: $REL32)"
BENCH_TARGETS=(standin_mainapp webs_menu_bench bench_inproc bench_outside bench_idle_loop)
if [ "$BITS" = 64 ]; then
  build "$B32" cmake/mingw-i686.cmake VrlnSchd
  build "$B64" cmake/mingw-x86_64.cmake VrlnSchd "${BENCH_TARGETS[@]}"
else
  build "$B32" cmake/mingw-i686.cmake VrlnSchd "${BENCH_TARGETS[@]}"
  build "$B64" cmake/mingw-x86_64.cmake VrlnSchd
fi
# As the win32-release preset builds the file that is shipped.
MEMORY_TARGETS=(VrlnSchd standin_mainapp bench_outside bench_idle_loop)
if [ "$BITS" = 64 ]; then
  BUILD_OPTIONS="-DCMAKE_BUILD_TYPE=MinSizeRel -DVRLN_RELEASE=ON" build "$REL32" cmake/mingw-i686.cmake VrlnSchd
  BUILD_OPTIONS="-DCMAKE_BUILD_TYPE=MinSizeRel -DVRLN_RELEASE=ON" build "$REL" cmake/mingw-x86_64.cmake "${MEMORY_TARGETS[@]}"
else
  BUILD_OPTIONS="-DCMAKE_BUILD_TYPE=MinSizeRel -DVRLN_RELEASE=ON" build "$REL32" cmake/mingw-i686.cmake "${MEMORY_TARGETS[@]}"
fi

echo "== machine"
echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "cpu:     $(nproc) x $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
# The loader that runs the programs: Debian's wine, or the 64-bit one where 32-bit programs cannot run.
loader=/usr/lib/wine/wine
vrln_can_run_32bit || loader=/usr/lib/wine/wine64
echo "wine:    $("$loader" --version 2>&1 | head -n 1) ($loader), benchmark programs: $BITS bits"
echo "kernel:  $(uname -r)"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min, at start)"

echo "== size of VrlnSchd.exe (bytes)"
size_line() {  # BITS EXE STRIP
  cp "$2" "$OUT/stripped-$1.exe" && "$3" "$OUT/stripped-$1.exe"
  printf 'RESULT size.%s.as_built  %s\nRESULT size.%s.stripped  %s\n' \
    "$1" "$(stat -c %s "$2")" "$1" "$(stat -c %s "$OUT/stripped-$1.exe")"
}
size_line 32 "$B32/bin/VrlnSchd.exe" i686-w64-mingw32-strip
size_line 64 "$B64/bin/VrlnSchd.exe" x86_64-w64-mingw32-strip
printf 'RESULT size.32.release   %s (the shipped file; the README promises under 300000)\n' \
  "$(stat -c %s "$REL32/bin/VrlnSchd.exe")"

PREFIX=$VRLN_ROOT/build/bench-prefix
keeper=""
finish() {
  [ -n "$keeper" ] && kill "$keeper" 2>/dev/null
  vrln_wine_stop
}
trap finish EXIT
vrln_display || exit 1
# A server left over from an interrupted run would keep serving the old prefix.
[ -d "$PREFIX" ] && WINEPREFIX=$PREFIX wineserver -k >/dev/null 2>&1
vrln_log "fresh Wine prefix"
vrln_wine_prefix "$PREFIX" || exit 1

# ---- Sampling Wine processes from Linux ----------------------------------------

in_prefix() {  # PID: true when the process was started for this run's prefix
  { tr '\0' '\n' <"/proc/$1/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"
}
# prefix_pids PATTERN: the live processes of this prefix whose command line matches.
prefix_pids() {
  local pid
  for pid in $(pgrep -f "$1"); do in_prefix "$pid" && echo "$pid"; done
  # Not the status of the last one looked at: a match in another prefix listed
  # last would fail the caller's pipeline (pipefail) although one was found.
  return 0
}
# The server of this prefix works in a folder named after the prefix's device and inode.
wineserver_pid() {
  local dir pid
  dir=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  for pid in $(pgrep -x 'wineserver|wineserver64'); do
    case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in */"$dir") echo "$pid"; return 0 ;; esac
  done
  return 1
}
# sample PID: "<cpu ns> <voluntary switches>" summed over the process's threads;
# shell builtins only, so that a sample takes no time.
sample() {
  local cpu=0 switches=0 task ns rest key value
  for task in /proc/"$1"/task/*; do
    { read -r ns rest <"$task/schedstat"; } 2>/dev/null || continue
    while read -r key value rest; do
      [ "$key" = "voluntary_ctxt_switches:" ] && switches=$((switches + value))
    done 2>/dev/null <"$task/status"
    cpu=$((cpu + ns))
  done
  echo "$cpu $switches"
}
# threads PID: "<tid> <voluntary switches> <name>" for each thread of the process.
threads() {
  local task key value rest name
  for task in /proc/"$1"/task/*; do
    { read -r name <"$task/comm"; } 2>/dev/null || continue
    while read -r key value rest; do
      [ "$key" = "voluntary_ctxt_switches:" ] && echo "${task##*/} $value $name"
    done 2>/dev/null <"$task/status"
  done
}
# idle_window NAME [PID]: CPU ms and wake-ups per minute over IDLE_SECONDS of
# the process, the wineserver and the desktop (explorer.exe, the tray's host).
idle_window() {
  local name=$1 target=${2:-} server desktop role pid t0 t1
  server=$(wineserver_pid) || { echo "no wineserver"; return 1; }
  desktop=$(prefix_pids 'explorer\.exe' | head -n 1)
  declare -A before=()
  [ -n "$target" ] && threads "$target" >"$OUT/threads-$name.before"
  t0=$(date +%s%N)
  for role in process wineserver desktop; do
    case $role in process) pid=$target ;; wineserver) pid=$server ;; desktop) pid=$desktop ;; esac
    [ -n "$pid" ] && before[$role]="$pid $(sample "$pid")"
  done
  sleep "$IDLE_SECONDS"
  t1=$(date +%s%N)
  [ -n "$target" ] && threads "$target" >"$OUT/threads-$name.after"
  for role in process wineserver desktop; do
    [ -n "${before[$role]:-}" ] || continue
    read -r pid c0 w0 <<<"${before[$role]}"
    [ -d "/proc/$pid" ] || { echo "RESULT idle.$name.$role  ended during the window"; continue; }
    read -r c1 w1 <<<"$(sample "$pid")"
    awk -v n="$name" -v r="$role" -v c="$((c1 - c0))" -v w="$((w1 - w0))" -v ns="$((t1 - t0))" 'BEGIN {
      k = 60e9 / ns
      printf "RESULT idle.%s.%-18s cpu=%7.1f ms/min  wakeups=%5.0f /min\n", n, r, c / 1e6 * k, w * k
      printf "%s %.1f %.0f\n", r, c / 1e6 * k, w * k >> (ENVIRON["OUT"] "/idle-" n ".tsv") }'
  done
  # Where the process's wake-ups come from, thread by thread (threads that
  # started or ended during the window are left out).
  [ -n "$target" ] && awk -v n="$name" -v ns="$((t1 - t0))" 'FNR == NR { w[$1] = $2; next }
    ($1 in w) { printf "RESULT idle.%s.thread %-7s %-16s wakeups=%5.0f /min\n", n, $1, $3, ($2 - w[$1]) * 60e9 / ns }' \
    "$OUT/threads-$name.before" "$OUT/threads-$name.after"
}
# added NAME: what the wineserver spent beyond the surroundings window.
added() {
  awk -v n="$1" 'FNR == NR { if ($1 == "wineserver") { c = $2; w = $3 } next }
    $1 == "wineserver" { printf "RESULT idle.%s.wineserver-added    cpu=%7.1f ms/min  wakeups=%5.0f /min\n", n, $2 - c, $3 - w }' \
    "$OUT/idle-surroundings.tsv" "$OUT/idle-$1.tsv" 2>/dev/null
}
# wait_ready FILE: until the program wrote IDLE-READY into its output.
wait_ready() {
  local i
  for i in $(seq 1 300); do grep -q IDLE-READY "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
# idle_helper NAME MODE: bench_idle_loop in MODE, sampled as NAME.
idle_helper() {
  local name=$1 mode=$2 job pid
  wine "$BIN/bench_idle_loop.exe" "$mode" 600 >"$OUT/$name.txt" 2>&1 &
  job=$!
  if wait_ready "$OUT/$name.txt" && pid=$(prefix_pids "bench_idle_loop\\.exe $mode") && [ -n "$pid" ]; then
    idle_window "$name" "$(echo "$pid" | head -n 1)"
    added "$name"
  else
    echo "bench_idle_loop $mode did not come up"
  fi
  wine "$BIN/bench_idle_loop.exe" --stop >/dev/null 2>&1
  wait "$job"
}
export OUT

# ---- The benchmarks ------------------------------------------------------------

# A keeper holds the desktop and Wine's system processes up throughout, as a
# logged-in session would; then one throwaway start takes the one-time cost of
# the first window, DDE and shell use in a fresh prefix out of the figures.
wine "$BIN/bench_idle_loop.exe" --hold >"$OUT/keeper.txt" 2>&1 &
keeper=$!
wait_ready "$OUT/keeper.txt" || { echo "the keeper did not come up"; exit 1; }
wine "$BIN/bench_inproc.exe" startup >/dev/null 2>&1

echo "== start-up to the icon, tooltip delay, menu opening (in process)"
wine "$BIN/bench_inproc.exe" 2>&1 | tee "$OUT/inproc.txt"

echo "== FillWebsMenu alone (webs_menu_bench)"
wine "$BIN/webs_menu_bench.exe" 2>&1 | tee "$OUT/webs_menu_bench.txt"

echo "== start-up to the hidden window (VrlnSchd.exe from outside)"
wine "$BIN/bench_outside.exe" startup 10 2>&1 | tee "$OUT/startup.txt"

echo "== launch lateness ($LAUNCHES launches)"
wine "$BIN/bench_outside.exe" launch "$LAUNCHES" 2>&1 | tee "$OUT/launch.txt"

echo "== a moment stored as due, with a notice, to the start ($LAUNCHES launches)"
wine "$BIN/bench_outside.exe" due "$LAUNCHES" 2>&1 | tee "$OUT/due.txt"

echo "== \"Suspend\" picked to the state stored and announced ($PICKS picks)"
wine "$BIN/bench_outside.exe" suspend "$PICKS" 2>&1 | tee "$OUT/suspend.txt"

echo "== the icon's right click to the menu on screen, from outside ($MENU_STARTS starts with 1 and with 1,000 webs)"
wine "$BIN/bench_outside.exe" menu "$MENU_STARTS" 2>&1 | tee "$OUT/menu.txt"

echo "== idle, ${IDLE_SECONDS} s each: the surroundings alone (keeper, desktop, system processes)"
idle_window surroundings

echo "== idle: VrlnSchd.exe with no moment stored, 1,000 local webs listed"
wine "$BIN/bench_outside.exe" idle 600 >"$OUT/idle.txt" 2>&1 &
idle_job=$!
if wait_ready "$OUT/idle.txt" && pid=$(prefix_pids 'VrlnSchd\.exe' | head -n 1) && [ -n "$pid" ]; then
  idle_window vrlnschd "$pid"
  added vrlnschd
else
  echo "VrlnSchd.exe did not come up"
fi
wine "$BIN/bench_idle_loop.exe" --stop >/dev/null 2>&1
wait "$idle_job"

echo "== idle: VrlnSchd.exe with a moment pending a day ahead"
wine "$BIN/bench_outside.exe" pending 600 >"$OUT/pending.txt" 2>&1 &
idle_job=$!
if wait_ready "$OUT/pending.txt" && pid=$(prefix_pids 'VrlnSchd\.exe' | head -n 1) && [ -n "$pid" ]; then
  idle_window pending "$pid"
  added pending
else
  echo "VrlnSchd.exe did not come up"
fi
wine "$BIN/bench_idle_loop.exe" --stop >/dev/null 2>&1
wait "$idle_job"

echo "== idle: baseline, a bare hidden window with a message loop"
idle_helper baseline window
echo "== idle: the scheduler's earlier idle cycle alone (1000 ms + 258 ms waits in a loop)"
idle_helper cycle cycle

echo "== memory of the shipped build with nothing stored: 20 s after the start, and ${IDLE_SECONDS} s later"
wine "$RELBIN/bench_outside.exe" memory "$IDLE_SECONDS" 2>&1 | tee "$OUT/memory.txt"

echo "== targets"
grep -h 'RESULT target\.' "$OUT"/*.txt
awk '$1 == "process" { printf "RESULT target.idle_wakeups            %.0f a minute, all threads, nothing changing (goal: 0) %s\n", $3, ($3 == 0) ? "met" : "missed" }' \
  "$OUT/idle-vrlnschd.tsv" 2>/dev/null

echo "== load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
