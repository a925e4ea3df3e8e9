#!/usr/bin/env bash
# Runs every benchmark; each size of the core runs in its own process so that
# its peak memory is its own.
set -euo pipefail
build="${1:-build/release}"
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  name="$(basename "$b")"
  if [ "$name" = bench_core ]; then
    for size in w:640/ w:1920/ w:4000/; do
      "$b" --benchmark_filter="$size"
    done
  else
    "$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
  fi
done
# Whole processes beside ImageMagick's plain resize, and batch throughput.
"$(dirname "$0")/bench-process.sh" "$build"
# The Python module beside the command line's same work.
if [ -d "$build/python/quadrix" ]; then
  "$(dirname "$0")/bench-python.py" "$build"
fi
