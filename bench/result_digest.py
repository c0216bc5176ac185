"""A digest of every result array of a fixed set of calls, to check that a change to the sampler
leaves its results bit-identical.

Runs uniform, most-recent, time-window and mixed requests with 1, 16, 512 and 2048 seeds on a saved
benchmark graph, with a fixed sampler seed, and prints one SHA-256 over the keys and bytes of every
array returned. Run it before and after a change (or with PYTHONPATH pointing at another build):

    python bench/result_digest.py --data bench/data/default
"""

from __future__ import annotations

import argparse
import hashlib
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchmark

import tovalib
from tovalib_pyg import synthetic as graphs


def digest(data: str, seed: int) -> str:
    g = graphs.load(data, mmap=False)
    h = hashlib.sha256()
    for mode in ("uniform", "recent", "window", "mixed"):
        times = g.node_time if mode != "uniform" else {}
        sampler = tovalib.NeighborSampler(
            g.node_types, g.edge_types, g.colptr, g.row, times, seed=seed
        )
        num_neighbors, windows = benchmark.request(g, benchmark.Workload(mode, mode, 512))
        rng = np.random.default_rng(1)
        seed_times = g.node_time[benchmark.SEED_TYPE]
        for n in (1, 16, 512, 2048):
            seeds = rng.integers(0, len(seed_times), n)
            given = seed_times[seeds] if mode != "uniform" else np.empty(0, dtype=np.int64)
            for part in sampler.sample(num_neighbors, windows, benchmark.SEED_TYPE, seeds, given):
                for key, array in part.items():
                    h.update(key.encode())
                    h.update(array.tobytes())
    return h.hexdigest()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--data", default=os.path.join(os.path.dirname(__file__), "data", "default")
    )
    parser.add_argument("--seed", type=int, default=7, help="the samplers' seed")
    args = parser.parse_args(argv)
    print(digest(args.data, args.seed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
