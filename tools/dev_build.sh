#!/usr/bin/env bash
# Builds the extension (and optionally the C++ tests) into BUILD_DIR without installing,
# and lays out BUILD_DIR/pkg so that `PYTHONPATH=BUILD_DIR/pkg python -m pytest` imports it.
#   tools/dev_build.sh BUILD_DIR [PYTHON] [extra cmake args...]
set -euo pipefail
build_dir=$(realpath -m "${1:?usage: dev_build.sh BUILD_DIR [PYTHON] [cmake args]}")
python=${2:-python3}
shift $(( $# >= 2 ? 2 : 1 ))
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
  -DKALVEX_WERROR=ON -DPython_EXECUTABLE="$(command -v "$python")" "$@" >/dev/null
cmake --build "$build_dir" -j "${JOBS:-2}"
mkdir -p "$build_dir/pkg/kalvex"
for f in "$root"/python/kalvex/*; do ln -sf "$f" "$build_dir/pkg/kalvex/"; done
ln -sf "$root/python/_kalvex.py" "$build_dir/pkg/_kalvex.py"
ln -sf "$build_dir"/_kalvex*.so "$build_dir"/_native*.so "$build_dir/_version.py" "$build_dir/pkg/kalvex/"
