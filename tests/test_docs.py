"""Every Python block of the README and every example script runs: the documentation cannot rot."""

import contextlib
import copy
import pathlib
import re
import subprocess
import sys
import types

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BLOCKS = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)


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


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs(block, monkeypatch):
    monkeypatch.chdir(ROOT)
    monkeypatch.setattr(sys, "path", list(sys.path))
    with torch_stand_in():
        exec(compile(block, "README.md", "exec"), {"__name__": "readme"})


def test_readme_quick_start_prints_the_documented_subgraph(capsys, monkeypatch):
    monkeypatch.chdir(ROOT)
    exec(compile(BLOCKS[0], "README.md", "exec"), {"__name__": "readme"})
    assert capsys.readouterr().out.split() == ["[0", "1", "2]", "[1", "2", "1]", "[0", "0", "2]"]


def test_parallel_example_runs_and_reports_its_speed_up():
    result = subprocess.run(
        [
            sys.executable,
            str(ROOT / "examples" / "parallel_sampling.py"),
            "--scale",
            "small",
            "--batches",
            "8",
            "--workers",
            "2",
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert "speed-up with 2 workers" in result.stdout
