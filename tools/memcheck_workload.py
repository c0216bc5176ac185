"""A short workload for valgrind memcheck: every sampling mode, failing calls and odd layouts."""

import contextlib
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import tovalib
from conftest import CITES, EMPTY, REV_WRITES, WRITES, tiny_graph, windows

graph = tiny_graph()
graph["row"] = {k: v[::-1].copy()[::-1] for k, v in graph["row"].items()}  # strided views
timed = tovalib.NeighborSampler(**graph)
untimed = tovalib.NeighborSampler(**{**graph, "node_time": {}})
fan_out = {k: np.array([2, -1, 1]) for k in (CITES, WRITES, REV_WRITES)}
offsets = {k: windows((-30, 0), (None, 5)) for k in (CITES, WRITES, REV_WRITES)}
seeds = np.array([5, 4, 4, 3, 2, 1, 0], dtype=">i8")
for _ in range(20):
    untimed.sample(fan_out, {}, "paper", seeds, EMPTY)
    timed.sample(fan_out, {}, "paper", seeds, EMPTY)
    timed.sample({}, offsets, "paper", seeds, np.full(len(seeds), 45))
    for bad in (np.array([6]), np.array([-1])):
        with contextlib.suppress(IndexError):
            timed.sample(fan_out, {}, "paper", bad, EMPTY)
# Results large enough to take their memory from the result pool, and lists handed over as arrays.
size, key = 40_000, "q__to__p"
star = tovalib.NeighborSampler(
    ["p", "q"], [("q", "to", "p")], {key: np.array([0, size])}, {key: np.arange(size)}, {}
)
kept = star.sample({key: np.array([-1])}, {}, "p", np.array([0]), EMPTY)
for _ in range(4):
    result = star.sample({key: np.array([-1, 2])}, {}, "p", np.array([0, 0]), EMPTY)
    assert len(result[0][key]) == 2 * len(kept[0][key])
    result[2]["q"].resize(3 * size, refcheck=False)
    del result
print("memcheck workload done")
