#!/usr/bin/env bash
# Runs libFuzzer targets for a bounded time each, from the committed corpus.
#   scripts/run_fuzz.sh BUILD SECONDS TARGET...
# Each target BUILD/fuzz/fuzz_TARGET reads fuzz/corpus/TARGET (never written
# to) and keeps what it finds new in BUILD/corpus/TARGET; a crashing input is
# saved as BUILD/crashes/TARGET/crash-* and fails the run. Set FUZZ_JOBS=N to
# run N targets at once (default: the number of cores).
set -uo pipefail
cd "$(dirname "$0")/.."

build=$1
seconds=$2
shift 2
jobs=${FUZZ_JOBS:-$(nproc)}

. scripts/sanitizer_env.sh

run_one() {
  local name=$1
  local exe="$build/fuzz/fuzz_$name"
  local found="$build/corpus/$name"
  local crashes="$build/crashes/$name"
  mkdir -p "$found" "$crashes"
  # -rss_limit_mb bounds what one input may make the target hold; -timeout
  # turns a hang into a finding.
  "$exe" "$found" "fuzz/corpus/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
         -max_len=65536 -artifact_prefix="$crashes/" -print_final_stats=1 \
         >"$build/fuzz_$name.log" 2>&1
  local status=$?
  local stats
  stats=$(grep -E '^stat::number_of_executed_units' "$build/fuzz_$name.log" | awk '{print $2}')
  if [ $status -ne 0 ]; then
    echo "fuzz: $name: FAILED (exit $status); log $build/fuzz_$name.log, input in $crashes/"
    grep -E 'ERROR|SUMMARY|check failed' "$build/fuzz_$name.log" | head -5
    echo failed >"$build/fuzz_$name.result"
    return 1
  fi
  echo "fuzz: $name: ${stats:-?} inputs in ${seconds}s, no fault"
  echo passed >"$build/fuzz_$name.result"
}

for name in "$@"; do
  rm -f "$build/fuzz_$name.result"
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_one "$name" &
done
wait
passed=0
failed=0
for name in "$@"; do
  if [ "$(cat "$build/fuzz_$name.result" 2>/dev/null)" = passed ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
