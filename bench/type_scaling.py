"""Cost of construction and of a one-seed call as the number of types grows.

Both should grow linearly: every name is looked up by hash, once per call or construction. Two
shapes: many edge types between two node types, and many node types each with an edge type into
the seed type.
Python's cyclic garbage collector is paused while timing, since its passes over the thousands of
result arrays grow with everything else the interpreter holds. The sizes are timed in turn, call
by call, in one process, and each figure is the shortest of its calls; "ratio" is the cost per
type against the first size's. Calls over many types read per-type state larger than the caches,
so some growth per type is the memory's, not the algorithm's.

    python bench/type_scaling.py --types 1000 2000 4000 8000 16000 --shape star
"""

from __future__ import annotations

import argparse
import gc
import time

import numpy as np

import tovalib


def best_of(repeats: int, functions: dict) -> dict:
    """The shortest of `repeats` runs of each function, taken in turn so that they see the same
    machine, with Python's cyclic collector paused."""
    best = dict.fromkeys(functions, float("inf"))
    gc.disable()
    try:
        for _ in range(repeats):
            for name, function in functions.items():
                start = time.perf_counter()
                function()
                best[name] = min(best[name], time.perf_counter() - start)
    finally:
        gc.enable()
    return best


def relations(count: int) -> tuple[list[str], list[tuple[str, str, str]], str]:
    """`count` relations from one node type to another: many edge types, two node types."""
    return ["user", "item"], [("user", f"r{i}", "item") for i in range(count)], "item"


def star(count: int) -> tuple[list[str], list[tuple[str, str, str]], str]:
    """`count` node types, each with one edge type into the seed type: many of both."""
    names = [f"t{i}" for i in range(count)]
    return ["seed", *names], [(name, "to", "seed") for name in names], "seed"


SHAPES = {"relations": relations, "star": star}


def arguments(shape, count: int) -> tuple[tuple, tuple]:
    """The constructor's arguments, and a one-seed call's with fan-out 1 on every edge type."""
    node_types, edge_types, seed_type = shape(count)
    keys = ["__".join(edge_type) for edge_type in edge_types]
    colptr, row = np.array([0, 1, 2]), np.array([0, 1])
    graph = (node_types, edge_types, dict.fromkeys(keys, colptr), dict.fromkeys(keys, row), {})
    fan_out = dict.fromkeys(keys, np.array([1]))
    return graph, (fan_out, {}, seed_type, np.array([1]), np.empty(0, dtype=np.int64))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--types", type=int, nargs="+", default=[1000, 2000, 4000, 8000, 16000])
    parser.add_argument("--shape", choices=sorted(SHAPES), nargs="+", default=sorted(SHAPES))
    parser.add_argument("--repeats", type=int, default=15)
    args = parser.parse_args()
    for name in args.shape:
        requests = {count: arguments(SHAPES[name], count) for count in args.types}
        construct = best_of(
            max(1, args.repeats // 5),
            {
                n: (lambda g=graph: tovalib.NeighborSampler(*g))
                for n, (graph, _) in requests.items()
            },
        )
        samplers = {n: tovalib.NeighborSampler(*graph) for n, (graph, _) in requests.items()}
        call = best_of(
            args.repeats,
            {
                n: (lambda s=samplers[n], r=request: s.sample(*r))
                for n, (_, request) in requests.items()
            },
        )
        first = args.types[0]
        print(f"{name}: {SHAPES[name].__doc__}")
        header = ("types", "construct s", "us/type", "call s", "us/type", "ratio")
        print("{:>8} {:>12} {:>8} {:>10} {:>8} {:>6}".format(*header))
        for n in args.types:
            ratio = (call[n] / n) / (call[first] / first)
            print(
                f"{n:>8} {construct[n]:>12.4f} {construct[n] / n * 1e6:>8.2f} "
                f"{call[n]:>10.4f} {call[n] / n * 1e6:>8.2f} {ratio:>6.2f}"
            )


if __name__ == "__main__":
    main()
