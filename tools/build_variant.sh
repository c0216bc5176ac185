#!/usr/bin/env bash
# Builds the module with extra CMake definitions into DIR, for bench/interleave_builds.py:
#   bash tools/build_variant.sh /tmp/builds/unchecked -DTOVALIB_BOUNDS_CHECKS=OFF
# Run after `make build`, which provides the venv and build tools.
set -euo pipefail
out=$1; shift
cd "$(dirname "$0")/.."
defines=()
for d in "$@"; do d=${d#-D}; defines+=("-Ccmake.define.${d%%=*}=${d#*=}"); done
name=$(basename "$out")
wheel_dir=$(mktemp -d)
.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps "${defines[@]}" \
  -Cbuild-dir="build/variant-$name" -w "$wheel_dir" .
mkdir -p "$out"
.venv/bin/python -m zipfile -e "$wheel_dir"/tovalib-*.whl "$wheel_dir/unpacked"
cp "$wheel_dir"/unpacked/tovalib*.so "$out/"
rm -rf "$wheel_dir"
echo "built $(ls "$out"/tovalib*.so)"
