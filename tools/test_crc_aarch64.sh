#!/usr/bin/env bash
# Runs the CRC-32 tests on aarch64: cross-builds the CRC engines and tests/cpp/crc32_test.cc
# (with GoogleTest from /usr/src/googletest) as a static aarch64 binary and runs it under
# qemu-aarch64. The tests pick engines from capability words with the CRC32 bit set and
# clear, and compare each with the table engine and with zlib's values.
#   tools/test_crc_aarch64.sh [BUILD_DIR]        (default /tmp/kalvex-crc-aarch64)
# Exits non-zero on any failure; the last line is "aarch64 crc32: N passed, M failed".
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(realpath -m "${1:-/tmp/kalvex-crc-aarch64}")
cxx=${CXX_AARCH64:-aarch64-linux-gnu-g++}
qemu=${QEMU_AARCH64:-qemu-aarch64}
gtest_src=${GTEST_SRC:-/usr/src/googletest/googletest}

fail() { echo "$*" >&2; echo "aarch64 crc32: 0 passed, 1 failed"; exit 1; }
command -v "$cxx" >/dev/null || fail "missing $cxx (apt-get install g++-aarch64-linux-gnu)"
command -v "$qemu" >/dev/null || fail "missing $qemu (apt-get install qemu-user)"
[[ -f $gtest_src/src/gtest-all.cc ]] || fail "missing GoogleTest sources in $gtest_src (apt-get install googletest)"

mkdir -p "$build_dir"
flags=(-std=c++20 -O2 -Wall -Wextra -Werror -I"$root/src" -I"$root/tests/cpp")
gtest_flags=(-std=c++20 -O1 -I"$gtest_src/include" -I"$gtest_src")

# GoogleTest changes only with the system package, so its objects are kept between runs.
pids=()
for unit in gtest-all gtest_main; do
  obj=$build_dir/$unit.o
  if [[ ! -f $obj || $gtest_src/src/$unit.cc -nt $obj ]]; then
    "$cxx" "${gtest_flags[@]}" -c "$gtest_src/src/$unit.cc" -o "$obj" & pids+=($!)
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || fail "building GoogleTest for aarch64 failed"; done

sources=("$root"/src/core/format/crc32*.cc "$root/tests/cpp/crc32_test.cc")
objects=()
pids=()
for src in "${sources[@]}"; do
  obj=$build_dir/$(basename "$src" .cc).o
  objects+=("$obj")
  "$cxx" "${flags[@]}" -I"$gtest_src/include" -c "$src" -o "$obj" & pids+=($!)
  if (( ${#pids[@]} == 2 )); then
    for pid in "${pids[@]}"; do wait "$pid" || fail "building for aarch64 failed"; done
    pids=()
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || fail "building for aarch64 failed"; done

binary=$build_dir/crc32_test_aarch64
# The static link warns about getaddrinfo in GoogleTest's unused streaming listener.
link_log=$("$cxx" -static -pthread -o "$binary" "${objects[@]}" "$build_dir/gtest-all.o" \
  "$build_dir/gtest_main.o" 2>&1) || fail "linking for aarch64 failed: $link_log"

# qemu's default CPU has the CRC32 extension; without it only the table engine would run.
engines=$("$qemu" "$binary" --gtest_list_tests) || fail "$binary does not run under $qemu"
grep -q 'arm_crc' <<<"$engines" || fail "the aarch64 instruction engine is not available under $qemu"

set +e
output=$("$qemu" "$binary" 2>&1)
status=$?
set -e
if (( status == 0 )); then grep -E '^\[ *(RUN|OK|PASSED|=+) *\]' <<<"$output" | grep -v '^\[ RUN' || true
else echo "$output"; fi
passed=$(grep -oP '^\[  PASSED  \] \K[0-9]+' <<<"$output" || true)
failed=$(grep -oP '^\[  FAILED  \] \K[0-9]+(?= tests?, listed below)' <<<"$output" || true)
passed=${passed:-0}
failed=${failed:-0}
if (( status != 0 && failed == 0 )); then failed=1; fi
echo "aarch64 crc32: $passed passed, $failed failed"
(( status == 0 && failed == 0 && passed > 0 ))
