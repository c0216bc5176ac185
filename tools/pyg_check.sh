#!/usr/bin/env bash
# The PyG front end against real torch_geometric, in the PyTorch venv (.venv-torch, which
# tools/torch_check.sh sets up): tovalib with its pyg extra (the repaired wheel from dist/, else
# built from this checkout), then tests/test_pyg.py and the README's blocks against the oldest
# torch_geometric the extra admits and again against the newest, then the PyG training example
# from a folder outside the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${TORCH_VENV:-.venv-torch}
oldest=2.5.0  # the lower end of the `pyg` extra in pyproject.toml
test -x "$venv/bin/python" || "$(bash tools/find-python.sh)" -m venv "$venv"
wheel=$(ls dist/tovalib-*manylinux*.whl 2>/dev/null | head -1 || true)
start=$SECONDS
"$venv/bin/pip" install -q "${wheel:-.}[pyg,test]"
"$venv/bin/pip" install -q --force-reinstall --no-deps "${wheel:-.}"
echo "pyg_check: installed in $((SECONDS - start)) s"

range=$(sed -n 's/^pyg = .*"torch_geometric\(.*\)"\]$/\1/p' pyproject.toml)
for wanted in "==$oldest" "$range"; do
  "$venv/bin/pip" install -q --upgrade "torch_geometric$wanted"
  echo "pyg_check: $("$venv/bin/python" -c 'import torch, torch_geometric as g; print("torch", torch.__version__, "torch_geometric", g.__version__)')"
  "$venv/bin/python" -m pytest -p no:cacheprovider tests/test_pyg.py tests/test_docs.py "$@"
done

example=$(mktemp -d)
trap 'rm -rf "$example"' EXIT
cp examples/pyg_temporal.py "$example"
python=$(pwd)/$venv/bin/python
(cd "$example" && "$python" pyg_temporal.py --scale small --epochs 1)
