#!/usr/bin/env bash
# The PyTorch path against real torch, in a venv of its own (.venv-torch): tovalib with its torch
# extra (the repaired wheel that tools/wheel_check.sh leaves in dist/, else built from this
# checkout), then the documentation's DataLoader block, the training example at small scale,
# whose GNN must beat the seed-only baseline, and the torchrun checks of tests/test_training.py.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${TORCH_VENV:-.venv-torch}
test -x "$venv/bin/python" || "$(bash tools/find-python.sh)" -m venv "$venv"
"$venv/bin/pip" install -q --upgrade pip
wheel=$(ls dist/tovalib-*manylinux*.whl 2>/dev/null | head -1 || true)
start=$SECONDS
"$venv/bin/pip" install -q "${wheel:-.}[torch,test]"
# The version number does not change between commits, so a reused venv would keep an old build.
"$venv/bin/pip" install -q --force-reinstall --no-deps "${wheel:-.}"
echo "torch_check: installed $("$venv/bin/python" -c 'import torch; print("torch", torch.__version__)')" \
     "and tovalib from ${wheel:-this checkout} in $((SECONDS - start)) s" \
     "($(du -sh "$venv" | cut -f1) venv)"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
start=$SECONDS
"$venv/bin/python" examples/train_temporal_gnn.py --scale small --quiet --loader-benchmark | tee "$log"
echo "torch_check: the example took $((SECONDS - start)) s"
"$venv/bin/python" - "$log" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
gnn, baseline = map(float, re.search(r"GNN ([\d.]+), seed-only baseline ([\d.]+)", text).groups())
if not gnn > baseline + 0.1:
    sys.exit(f"torch_check: GNN AUC {gnn} is not clearly above the seed-only baseline {baseline}")
PY

"$venv/bin/python" -m pytest -p no:cacheprovider tests/test_docs.py tests/test_training.py "$@"
