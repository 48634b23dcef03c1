#!/usr/bin/env bash
# Builds and runs bench/crc_bench in Release mode.
#   bench/run_crc_bench.sh [BUILD_DIR] [--quick]      (default BUILD_DIR /tmp/kalvex-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(realpath -m "${1:-/tmp/kalvex-bench}")
shift $(( $# >= 1 ? 1 : 0 ))
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKALVEX_WERROR=ON \
  -DKALVEX_BUILD_MODULE=OFF -DKALVEX_BUILD_BENCH=ON >/dev/null
cmake --build "$build_dir" -j "${JOBS:-2}" --target crc_bench
"$build_dir/bench/crc_bench" "$@"
