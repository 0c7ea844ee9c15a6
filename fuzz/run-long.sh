#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) for SECONDS each and prints, per
# target, the executions, the coverage reached and the result.
#   fuzz/run-long.sh [SECONDS] [BUILD_DIR] [TARGET...]
#   defaults: 600 seconds, build/host; JOBS=2 runs two targets at a time.
# New corpus entries go to BUILD_DIR/fuzz/long-corpus, crashes to BUILD_DIR/fuzz/long-artifacts.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
build=${2:-$root/build/host}
shift $(( $# > 2 ? 2 : $# ))
jobs=${JOBS:-1}

case $build in /*) ;; *) build=$root/$build ;; esac
bin=$build/bin
if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(cd "$bin" 2>/dev/null && ls fuzz_* 2>/dev/null)
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $bin: build the host preset first (clang)" >&2
  exit 2
fi

logs=$build/fuzz/long-logs
mkdir -p "$logs" "$build/fuzz/long-artifacts"

run_one() {
  local target=$1
  local work=$build/fuzz/long-corpus/$target
  local seeds=$root/fuzz/corpus/$target
  mkdir -p "$work"
  local args=("-max_total_time=$seconds" -print_final_stats=1
              "-artifact_prefix=$build/fuzz/long-artifacts/$target-" "$work")
  [ -d "$seeds" ] && args+=("$seeds")
  "$bin/$target" "${args[@]}" >"$logs/$target.log" 2>&1
  echo $? >"$logs/$target.rc"
}

echo "running ${#targets[@]} targets for $seconds s each, $jobs at a time"
running=0
for target in "${targets[@]}"; do
  if [ ! -x "$bin/$target" ]; then echo "missing: $bin/$target" >&2; continue; fi
  run_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then wait -n; running=$((running - 1)); fi
done
wait

status=0
printf '%-22s %12s %8s %10s  %s\n' target executions cov exec/s result
for target in "${targets[@]}"; do
  log=$logs/$target.log
  [ -f "$log" ] || continue
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 | cut -d' ' -f2)
  rate=$(grep -oE 'exec/s: [0-9]+' "$log" | tail -n 1 | cut -d' ' -f2)
  rc=$(cat "$logs/$target.rc" 2>/dev/null || echo '?')
  if [ "$rc" = 0 ]; then
    result=ok
  else
    result="FAILED (exit $rc), see $log"
    status=1
  fi
  printf '%-22s %12s %8s %10s  %s\n' "$target" "${execs:-?}" "${cov:-?}" "${rate:-?}" "$result"
done
exit $status
