#!/usr/bin/env bash
# Runs every built benchmark; each prints its own figures and ratios.
set -euo pipefail
build=${1:-build}
for bin in "$build"/bench/*_bench; do
  [[ -x "$bin" ]] || continue
  echo "== $(basename "$bin")"
  "$bin"
done
