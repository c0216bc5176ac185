"""Cost of construction and of a one-seed call as the number of edge types grows.

Both should grow linearly: every name is looked up by hash, once per call or construction.
Python's cyclic garbage collector is paused while timing, since its passes over the thousands of
result arrays grow with everything else the interpreter holds.

    python bench/type_scaling.py --types 2500 5000 10000 20000
"""

from __future__ import annotations

import argparse
import gc
import time

import numpy as np

import tovalib


def best_of(repeats: int, function) -> float:
    times = []
    gc.disable()
    try:
        for _ in range(repeats):
            start = time.perf_counter()
            function()
            times.append(time.perf_counter() - start)
    finally:
        gc.enable()
    return min(times)


def measure(edge_types: int, repeats: int) -> tuple[float, float]:
    types = [("user", f"r{i}", "item") for i in range(edge_types)]
    keys = [f"user__r{i}__item" for i in range(edge_types)]
    colptr, row = np.array([0, 1, 2]), np.array([0, 1])
    arguments = (["user", "item"], types, dict.fromkeys(keys, colptr), dict.fromkeys(keys, row), {})
    construction = best_of(repeats, lambda: tovalib.NeighborSampler(*arguments))
    sampler = tovalib.NeighborSampler(*arguments)
    fan_out = dict.fromkeys(keys, np.array([1]))
    seed, no_time = np.array([1]), np.empty(0, dtype=np.int64)
    call = best_of(repeats, lambda: sampler.sample(fan_out, {}, "item", seed, no_time))
    return construction, call


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--types", type=int, nargs="+", default=[2500, 5000, 10000, 20000])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print(f"{'edge types':>10} {'construct s':>12} {'us/type':>8} {'call s':>10} {'us/type':>8}")
    for count in args.types:
        construction, call = measure(count, args.repeats)
        print(
            f"{count:>10} {construction:>12.4f} {construction / count * 1e6:>8.2f} "
            f"{call:>10.4f} {call / count * 1e6:>8.2f}"
        )


if __name__ == "__main__":
    main()
