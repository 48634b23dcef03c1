#!/usr/bin/env bash
# The one test command: installs what the tests need, then runs every suite.
#   - C++ unit tests of the core (GoogleTest through ctest), warnings as errors
#   - the CRC engines cross-built for 64-bit ARM and run under user-mode emulation
#   - pytest on CPython and on PyPy, each against a fresh `pip install .` (the package's
#     suites run once per backend built there, through the `backend` fixture); mypy --strict
#   - both suites again under AddressSanitizer + UndefinedBehaviorSanitizer
#   - a bounded libFuzzer run of the reader and writer targets
#   - the code examples of README.md, docs/ and the docstrings (CPython's pytest run)
#   - the release path: sdist and a repaired wheel, each installed into a fresh environment
#     (the wheel with no compiler on PATH), twine check (tools/wheels.sh)
#   - the documentation site, warnings as errors, by README's own command in a fresh venv
#   - the peer comparison at a tiny scale, so the benchmark never rots (no speed asserted)
# Safe to re-run: installs are skipped when already present. Every suite runs under a
# time limit, so a hang fails the run instead of stalling it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
work=${KALVEX_TEST_DIR:-$root/build/test}
mkdir -p "$work"
jobs=$(nproc 2>/dev/null || echo 2)

step() { printf '\n=== %s ===\n' "$*"; }

step "system packages"
apt_packages=(build-essential cmake ninja-build libgtest-dev googletest zlib1g-dev libzstd-dev pkg-config
              pypy3 pypy3-dev pypy3-venv g++-aarch64-linux-gnu qemu-user
              clang libclang-rt-14-dev)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

step "C++ unit tests"
cmake -S . -B "$work/cpp" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALVEX_BUILD_MODULE=OFF \
  -DKALVEX_BUILD_TESTS=ON -DKALVEX_WERROR=ON >/dev/null
cmake --build "$work/cpp" -j "$jobs"
ctest --test-dir "$work/cpp" --output-on-failure -j "$jobs"

if [ -x tools/test_crc_aarch64.sh ]; then
  step "CRC engines on 64-bit ARM (emulated)"
  bash tools/test_crc_aarch64.sh "$work/aarch64"
fi

# A fresh virtual environment per interpreter, the package installed as a user would.
run_pytest() {
  local name=$1 interpreter=$2
  shift 2    # anything else: more paths for pytest
  local venv="$work/venv-$name"
  step "pytest on $name"
  [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r tests/requirements.txt
  if [ "$name" = cpython ]; then "$venv/bin/python" -m pip install -q numpy mypy; fi
  # A local project is always rebuilt and reinstalled; its runtime dependencies come along.
  "$venv/bin/python" -m pip install -q -Ccmake.define.KALVEX_WERROR=ON .
  # The extra kalvex[dask] (its requirements, without building the package again), for the
  # Dask builder's tests: CPython only, as pyarrow publishes no PyPy wheel; they skip there.
  if [ "$name" = cpython ]; then
    "$venv/bin/python" -m pip install -q $("$venv/bin/python" -c 'import tomllib
print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["dask"])')
  fi
  (cd "$work" && timeout 1200 "$venv/bin/python" -m pytest "$root/tests" "$@" -q -p no:cacheprovider)
}

# On CPython also every code example of the README, the site and the public docstrings
# (conftest.py at the top runs them with Sybil, each page in a scratch directory).
run_pytest cpython python3 "$root/README.md" "$root/docs" "$root/python/kalvex"
run_pytest pypy pypy3

step "mypy --strict on the package"
"$work/venv-cpython/bin/python" -m mypy python/kalvex

step "C++ tests and pytest on CPython under ASan + UBSan"
PYTHON="$work/venv-cpython/bin/python" timeout 1800 bash tools/sanitize.sh "$work/sanitize"

step "fuzzing (libFuzzer, ASan + UBSan)"
timeout 900 bash fuzz/run.sh "$work/fuzz"

step "peer comparison at a tiny scale (checks answers, asserts no speed)"
"$work/venv-cpython/bin/python" -m pip install -q -r bench/requirements.txt
# Peers are optional on PyPy (some publish no wheel for it); compare.py skips what is missing.
"$work/venv-pypy/bin/python" -m pip install -q -r bench/requirements.txt ||
  echo "some benchmark peers are unavailable on PyPy; the comparison skips them"
timeout 600 "$work/venv-cpython/bin/python" bench/compare.py --tiny --pypy "$work/venv-pypy/bin/python"
# The growth chart's script, at two small sizes: its JSON and its chart, outside the tree.
timeout 300 "$work/venv-cpython/bin/python" bench/compare_growth.py --sizes 1000 2000 --reps 1 \
  --out "$work/growth"

step "wheel and sdist: build, repair, install without a compiler, twine check"
timeout 900 bash tools/wheels.sh "$work/wheels"

step "documentation site: README's command in a fresh environment (warnings as errors)"
# The command exactly as README.md gives it, run from the top of the checkout in a new
# virtual environment, as a new user would: what CI runs is what the README promises.
docs_command='pip install ".[docs]" && python -m sphinx -W --keep-going -b html docs build/docs'
grep -qF "$docs_command" README.md ||
  { echo "test.sh: README.md no longer gives the docs command: $docs_command" >&2; exit 1; }
rm -rf "$work/venv-docs" build/docs
python3 -m venv "$work/venv-docs"
PATH="$work/venv-docs/bin:$PATH" VIRTUAL_ENV="$work/venv-docs" timeout 900 bash -c "$docs_command"

step "all suites passed"
