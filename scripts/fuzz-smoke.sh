#!/usr/bin/env bash
# Runs every built fuzz target briefly on its corpus so they keep working.
set -euo pipefail
build=${1:-build-fuzz}
secs=${2:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
[[ -d "$build/fuzz" ]] || { echo "fuzz-smoke: no fuzz targets built"; exit 0; }
for bin in "$build"/fuzz/fuzz_*; do
  [[ -x "$bin" ]] || continue
  name=$(basename "$bin")
  corpus="$root/fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [[ -d "$corpus" ]] && cp -r "$corpus"/. "$work"/ 2>/dev/null || true
  echo "fuzz-smoke: $name for ${secs}s"
  log="$work.log"
  if ! "$bin" -max_total_time="$secs" -print_final_stats=1 "$work" >"$log" 2>&1; then
    tail -40 "$log"; echo "fuzz-smoke: $name failed"; exit 1
  fi
  grep -E 'stat::number_of_executed_units' "$log" || true
  rm -f "$log"
  rm -rf "$work"
done
