#!/usr/bin/env bash
# Runs every fuzz target of BUILD (default build/fuzz) for SECONDS each
# (default 8): first over its seeds and the corpus that earlier runs grew,
# then on inputs of its own. A crash, leak, sanitizer report, timeout or
# memory excess fails the run; the input that caused it is kept in
# BUILD/crashes/TARGET/ and the log in BUILD/logs/TARGET.log.
#
# Replay one input:  BUILD/fuzz_TARGET BUILD/crashes/TARGET/crash-...
set -uo pipefail
build="${1:-build/fuzz}"
seconds="${2:-8}"
targets=(read_jpeg read_png read_bmp read_tiff read_webp metadata importance)

# Reports stop the run; leaks are looked for at its end.
export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

passed=0
failed=0
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t" "$build/crashes/$t" "$build/logs"
  log="$build/logs/$t.log"
  # The first folder takes the new inputs; the seeds are only read.
  if "$build/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$build/crashes/$t/" \
      "$build/corpus/$t" "$build/seeds/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $t passed (${runs:-?} inputs in ${seconds} s)"
    passed=$((passed + 1))
  else
    echo "fuzz: $t FAILED (whole log: $log):"
    # The report from its first line, and where the input was kept.
    grep -m 1 -A 30 -E '^==[0-9]+==ERROR|runtime error:|fuzz check failed|ERROR: libFuzzer' \
      "$log" | sed 's/^/    /'
    grep -E '^(Test unit written to|artifact_prefix)' "$log" | sed 's/^/    /'
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
