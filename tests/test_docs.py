"""Every Python block of the README and docs/ and every example script runs: the documentation
cannot rot."""

import contextlib
import copy
import importlib.util
import pathlib
import re
import shutil
import subprocess
import sys
import types

import pytest

TESTS = pathlib.Path(__file__).resolve().parent
ROOT = TESTS.parent
# The README's blocks first (the quick start is the first), then those of docs/.
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCKS = [
    (page.name, block)
    for page in PAGES
    for block in re.findall(r"```python\n(.*?)```", page.read_text(), re.S)
]
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
# Extras an example may need that `make test` does not install.
OPTIONAL = {"torch", "torch_geometric", "tqdm"}


@contextlib.contextmanager
def torch_stand_in():
    """A sequential stand-in for torch.utils.data when torch is not installed: each "worker" gets
    its own copy of the dataset and its worker_init_fn, as DataLoader workers do."""
    try:
        import torch.utils.data  # noqa: F401

        yield
        return
    except ImportError:
        pass
    state = {}

    class DataLoader:
        def __init__(self, dataset, batch_size, num_workers, worker_init_fn):
            self.dataset, self.num_workers, self.worker_init_fn = (
                dataset,
                num_workers,
                worker_init_fn,
            )

        def __iter__(self):
            for worker in range(self.num_workers):
                state["info"] = types.SimpleNamespace(
                    id=worker,
                    num_workers=self.num_workers,
                    seed=12345 + worker,
                    dataset=copy.copy(self.dataset),
                )
                self.worker_init_fn(worker)
                yield from state["info"].dataset

    data = types.ModuleType("torch.utils.data")
    data.DataLoader, data.IterableDataset = DataLoader, object
    data.get_worker_info = lambda: state["info"]
    modules = {
        "torch": types.ModuleType("torch"),
        "torch.utils": types.ModuleType("torch.utils"),
        "torch.utils.data": data,
    }
    saved = {name: sys.modules.get(name) for name in modules}
    sys.modules.update(modules)
    try:
        yield
    finally:
        for name, module in saved.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module


# Runs a README block in a fresh interpreter whose working directory is outside the checkout, so
# the block sees only what is installed: importing from bench/ or examples/ through sys.path, or
# a package that is in the checkout but not in the wheel, fails here. The tests folder is put on
# the path for the torch stand-in alone, at the end, where it shadows nothing installed.
BLOCK_RUNNER = """
import sys
sys.path.append(sys.argv[1])
from test_docs import torch_stand_in
with torch_stand_in():
    exec(compile(sys.argv[2], "README.md", "exec"), {"__name__": "readme"})
"""


def run_outside_checkout(command, cwd):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def run_block(block, cwd):
    return run_outside_checkout([sys.executable, "-c", BLOCK_RUNNER, str(TESTS), block], cwd)


@pytest.mark.parametrize(
    "page, block", BLOCKS, ids=[f"{page}-block{i}" for i, (page, _) in enumerate(BLOCKS)]
)
def test_documentation_block_runs_outside_the_checkout(page, block, tmp_path):
    if "torch_geometric" in block:
        pytest.importorskip("torch_geometric")
    run_block(block, tmp_path)


def test_readme_quick_start_prints_the_documented_subgraph(tmp_path):
    out = run_block(BLOCKS[0][1], tmp_path)
    assert out.split() == ["[0", "1", "2]", "[1", "2", "1]", "[0", "0", "2]"]


@pytest.mark.parametrize("example", EXAMPLES, ids=[e.name for e in EXAMPLES])
def test_example_imports_outside_the_checkout(example, tmp_path):
    """A copy of the example, alone in a folder of its own, loads everything it imports: what it
    reaches through the checkout (bench/, a sibling example) is not there. An optional dependency
    that this environment lacks (torch in `make test`) skips, to run where it is installed."""
    alone = tmp_path / example.name
    shutil.copy(example, alone)
    load = f"import runpy; runpy.run_path({str(alone)!r}, run_name='example')"
    result = subprocess.run(
        [sys.executable, "-c", load], cwd=tmp_path, capture_output=True, text=True, timeout=300
    )
    missing = re.search(r"No module named '(\w+)", result.stderr)
    if missing and missing[1] in OPTIONAL and importlib.util.find_spec(missing[1]) is None:
        pytest.skip(f"{example.name} needs {missing[1]}, which is not installed")
    assert result.returncode == 0, result.stderr


def test_parallel_example_runs_and_reports_its_speed_up(tmp_path):
    shutil.copy(ROOT / "examples" / "parallel_sampling.py", tmp_path)
    command = [sys.executable, "parallel_sampling.py", "--scale", "small", "--batches", "8"]
    out = run_outside_checkout([*command, "--workers", "2"], tmp_path)
    assert "speed-up with 2 workers" in out
