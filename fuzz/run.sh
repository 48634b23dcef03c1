#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a bounded time,
# starting from the committed corpus in fuzz/corpus/<target>, then prints how many inputs
# each one executed. A crash, a sanitizer report, a broken invariant, an input over the
# memory limits or one that hangs fails the run and leaves the input in WORK_DIR/artifacts.
#
#   fuzz/run.sh [WORK_DIR]                  (default: build/fuzz)
#
#   KALVEX_FUZZ_SECONDS   run time per target (default 60); 0 replays the corpus only
#   KALVEX_FUZZ_TARGETS   which targets (default "reader writer mapped_index")
#   KALVEX_FUZZ_JOBS      parallel fuzzing processes per target (default 1)
#   CXX                   a clang++ (default clang++, else clang++-14)
#
# Each target runs some 2,000 to 3,500 inputs per second on one core. Their costly modes
# (the reader's index grown past 2^15 keys, the writer's files holding 65535-byte keys)
# take one input in 256 and in 128, drawn by a hash of the whole input. The test
# command's minute per target is a smoke run; exploring takes a long one, e.g. a night
# on two cores, which keeps what it learns in WORK_DIR for the next run to start from:
#   KALVEX_FUZZ_SECONDS=28800 KALVEX_FUZZ_JOBS=2 fuzz/run.sh
# One target at a time, e.g. an hour of the reader:
#   KALVEX_FUZZ_SECONDS=3600 KALVEX_FUZZ_TARGETS=reader fuzz/run.sh
# To keep a finding as a regression case, once it is fixed:
#   cp WORK_DIR/artifacts/reader-crash-<sha1> fuzz/corpus/reader/regress-<what-it-was>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(realpath -m "${1:-$root/build/fuzz}")
seconds=${KALVEX_FUZZ_SECONDS:-60}
targets=${KALVEX_FUZZ_TARGETS:-reader writer mapped_index}
jobs=${KALVEX_FUZZ_JOBS:-1}

cxx=${CXX:-$(command -v clang++ || command -v clang++-14 || echo clang++)}
cmake -S "$root" -B "$work/build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALVEX_BUILD_MODULE=OFF -DKALVEX_BUILD_FUZZERS=ON \
  -DKALVEX_WERROR=ON >/dev/null
cmake --build "$work/build" -j 2 --target $(printf '%s_fuzzer ' $targets)

# Any report ends the process with an error, like a crash; the symbolizer names lines.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
symbolizer=$(command -v llvm-symbolizer || command -v llvm-symbolizer-14 || ls /usr/lib/llvm-*/bin/llvm-symbolizer 2>/dev/null | head -1 || true)
[ -n "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH="$symbolizer"

mkdir -p "$work/artifacts"
cd "$work"  # libFuzzer writes its per-job logs to the current directory
summary=()
for target in $targets; do
  seeds="$root/fuzz/corpus/$target"
  learned="$work/corpus-$target"  # new inputs go here, never into the repository
  mkdir -p "$learned"
  log="$work/$target.log"
  # Inputs are small files and call sequences; 4 KiB is ample and keeps runs fast.
  # -malloc_limit_mb turns any single allocation beyond what such an input can justify
  # into a failure: that is how the memory bound on hostile files is tested. The
  # -timeout is a hang detector only (inputs normally take milliseconds), generous so
  # that a loaded machine cannot trip it.
  flags=(-max_len=4096 -rss_limit_mb=2048 -malloc_limit_mb=128 -timeout=120
         -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-")
  printf '\n=== fuzzing %s for %ss ===\n' "$target" "$seconds"
  status=0
  if [ "$seconds" = 0 ]; then
    "$work/build/fuzz/${target}_fuzzer" "${flags[@]}" -runs=0 "$seeds" >"$log" 2>&1 || status=$?
  elif [ "$jobs" -gt 1 ]; then
    "$work/build/fuzz/${target}_fuzzer" "${flags[@]}" -max_total_time="$seconds" \
      -jobs="$jobs" -workers="$jobs" "$learned" "$seeds" >"$log" 2>&1 || status=$?
    cat "$work"/fuzz-*.log >>"$log" 2>/dev/null && rm -f "$work"/fuzz-*.log
  else
    "$work/build/fuzz/${target}_fuzzer" "${flags[@]}" -max_total_time="$seconds" \
      "$learned" "$seeds" >"$log" 2>&1 || status=$?
  fi
  runs=$(grep -h 'stat::number_of_executed_units' "$log" | awk '{s += $2} END {print s + 0}')
  if [ "$status" != 0 ]; then
    grep -v '^"' "$log" | tail -60 >&2
    printf '\n%s: FAILED after %s executions; input kept in %s/artifacts\n' "$target" "$runs" "$work" >&2
    exit 1
  fi
  summary+=("$(printf '%-12s %10s executions in %ss, corpus %s seeds + %s learned' "$target" "$runs" \
    "$seconds" "$(ls "$seeds" | wc -l)" "$(ls "$learned" | wc -l)")")
done
printf '\n=== fuzzing passed ===\n'
printf '%s\n' "${summary[@]}"
