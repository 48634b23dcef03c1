#!/usr/bin/env bash
# Builds the module and the C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs both suites against that build: ctest with leak detection on, then the whole
# pytest suite on CPython with the ASan runtime preloaded into the interpreter. Any
# sanitizer report aborts the process it occurs in, so it fails the run.
#
#   tools/sanitize.sh [BUILD_DIR]        (default: build/sanitize)
#
# PYTHON picks the interpreter (default python3); it needs pytest and the packages of
# tests/requirements.txt, e.g. the virtual environment tools/test.sh creates. Nothing is
# installed: pytest imports the module straight from BUILD_DIR/pkg.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(realpath -m "${1:-$root/build/sanitize}")
python=${PYTHON:-python3}
cxx=${CXX:-g++}

# RelWithDebInfo keeps the reports' stacks readable at a speed the suites can bear.
CXX=$cxx BUILD_TYPE=RelWithDebInfo bash "$root/tools/dev_build.sh" "$build_dir" "$python" \
  -DKALVEX_SANITIZE=ON -DKALVEX_BUILD_TESTS=ON

# The runtime the module was linked against; the interpreter must load it first.
if [[ $("$cxx" --version) == *clang* ]]; then
  asan_runtime=$("$cxx" -print-file-name=libclang_rt.asan-x86_64.so)
else
  asan_runtime=$("$cxx" -print-file-name=libasan.so)
fi
[ -f "$asan_runtime" ] || { echo "sanitize.sh: no ASan runtime at $asan_runtime" >&2; exit 1; }

# Shared by both runs: stop at the first report of either sanitizer, exit non-zero.
common="abort_on_error=0:halt_on_error=1:exitcode=86:detect_stack_use_after_return=1"
common+=":strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=86"

printf '\n=== C++ unit tests under ASan + UBSan (leak detection on) ===\n'
ASAN_OPTIONS="$common:detect_leaks=1" \
LSAN_OPTIONS="suppressions=$root/tests/lsan_suppressions.txt:print_suppressions=0" \
  ctest --test-dir "$build_dir" --output-on-failure -j "${JOBS:-2}"

printf '\n=== pytest on CPython under ASan + UBSan ===\n'
# The interpreter is not instrumented, so the runtime is preloaded and leak detection is
# off: CPython keeps much of what it allocates until exit on purpose, and those blocks
# would bury any real report. PYTHONMALLOC=malloc routes Python objects through malloc,
# where ASan can see a reference-count mistake in the bindings as a use after free.
# The quarantine of freed blocks is cut from 256 MiB to 16 MiB: the lifetime tests check
# that resident memory stays flat over many cycles, and a quarantine filling up looks
# like growth. 16 MiB still holds the blocks freed during any one call.
# Not from BUILD_DIR itself: there the bare extension would shadow the `_kalvex` alias.
mkdir -p "$build_dir/pytest-run"
(
  cd "$build_dir/pytest-run"
  LD_PRELOAD="$asan_runtime" \
  ASAN_OPTIONS="$common:detect_leaks=0:quarantine_size_mb=16:suppressions=$root/tests/asan_suppressions.txt" \
  PYTHONMALLOC=malloc PYTHONPATH="$build_dir/pkg" \
    "$python" -m pytest "$root/tests" -q -p no:cacheprovider
)
printf '\n=== sanitizer runs passed ===\n'
