"""Times one workload on several builds of the module, call by call in turn.

bench/compare_builds.py alternates whole benchmark runs, so a build is compared with another only
across seconds or minutes, through which this kind of VM drifts by 15% and more. Here each build
runs in its own worker process, all holding the same graph and drawing the same seed batches; the
parent asks each worker for one call in turn (the order reversed every call, so no build always
runs right after the same other), so neighbouring calls see the same machine. Per build it prints
the median time per call and its ratio to the first build.

A worker process can also be lucky or unlucky for its whole life (where its tables landed in
memory): two workers over the same build have differed by up to 25% in one round here, and the
worker started first fared differently from the others on average. With --rounds N every round
starts fresh workers, the start order rotating, and the ratio printed is the median of
the N rounds' ratios, each shown. Rounds are cheap: with 30 of them, three A/A runs here gave
1.007, 0.996 and 0.961.

    python bench/interleave_builds.py before=/tmp/builds/before after=/tmp/builds/after \\
        --mode uniform --batch 1024 --calls 30 --rounds 30 --data bench/data/default
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def worker(args: argparse.Namespace) -> None:
    """Serves calls: one line in, one call, its seconds out."""
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    import numpy as np

    sys.path.insert(0, HERE)
    import benchmark

    import tovalib
    from tovalib_pyg import synthetic as graphs

    g = graphs.load(args.data, mmap=False)
    fan_out = tuple(args.fan_out) if args.fan_out else (10,) if args.batch == 1 else (15, 10)
    w = benchmark.Workload(args.mode, args.mode, args.batch, fan_out)
    times = g.node_time if args.mode != "uniform" else {}
    sampler = tovalib.NeighborSampler(g.node_types, g.edge_types, g.colptr, g.row, times)
    num_neighbors, windows = benchmark.request(g, w)
    batches = benchmark.seed_batches(g, args.batch, args.calls + 1, seed=0)
    no_time = np.empty(0, dtype=np.int64)
    # A one-seed call is timed over many repeats: one alone is below the clock's resolution.
    repeats = 300 if args.batch == 1 else 1
    sampler.sample(num_neighbors, windows, benchmark.SEED_TYPE, batches[-1], no_time)
    print("ready", tovalib.__file__, flush=True)
    # The last batch warmed the caches; stdin ends when the parent is done.
    for seeds, _ in zip(batches, sys.stdin, strict=False):
        start = time.perf_counter()
        for _ in range(repeats):
            result = sampler.sample(num_neighbors, windows, benchmark.SEED_TYPE, seeds, no_time)
            del result
        print((time.perf_counter() - start) / repeats, flush=True)


def stop(workers: list[subprocess.Popen]) -> None:
    for process in workers:
        process.kill()
        process.wait()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("builds", nargs="*", help="NAME=DIRECTORY; the first is the reference")
    parser.add_argument("--mode", choices=("uniform", "recent", "window", "mixed"))
    parser.add_argument("--batch", type=int, default=1024, help="seeds per call")
    parser.add_argument("--calls", type=int, default=80, help="calls per round")
    parser.add_argument(
        "--rounds",
        type=int,
        default=1,
        help="rounds, each with fresh workers; ratios are medians over rounds",
    )
    parser.add_argument(
        "--fan-out", type=int, nargs="+", help="per hop; default 15 10 (10 for one seed)"
    )
    parser.add_argument("--data", default=os.path.join(HERE, "data", "default"))
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker(args)
        return 0
    if len(args.builds) < 2 or args.mode is None:
        parser.error("give --mode and at least two builds")

    builds = [b.split("=", 1) for b in args.builds]
    command = [sys.executable, os.path.abspath(__file__), "--worker", "--mode", args.mode]
    command += ["--batch", str(args.batch), "--calls", str(args.calls), "--data", args.data]
    if args.fan_out:
        command += ["--fan-out", *map(str, args.fan_out)]
    # Per round and build, the median seconds per call.
    rounds = [interleave(builds, command, args.calls, first=r) for r in range(args.rounds)]

    fan_out = " ".join(map(str, args.fan_out)) if args.fan_out else "default"
    print(
        f"{args.mode}, {args.batch} seeds, fan-out {fan_out}, "
        f"median of {args.calls} interleaved calls, {args.rounds} round(s)"
    )
    for k, (name, _) in enumerate(builds):
        ratios = [r[k] / r[0] for r in rounds]
        spread = f"   rounds {' '.join(f'{x:.3f}' for x in ratios)}" if len(rounds) > 1 else ""
        seconds = statistics.median(r[k] for r in rounds)
        print(f"{name:>16}{seconds * 1e6:>12.1f} us{statistics.median(ratios):>9.3f}{spread}")
    return 0


def interleave(builds: list[list[str]], command: list[str], calls: int, first: int) -> list[float]:
    """One round: a fresh worker per build, calls taken in turn; the median per build.

    A worker's place in the start order favours or handicaps it for its whole life (the workers
    load the graph into memory one after another): over 30 rounds of two workers over one build,
    the second ran 3% faster. So the start order rotates from round to round, beginning with the
    build at index `first` (modulo the number of builds)."""
    workers: list[subprocess.Popen | None] = [None] * len(builds)
    for k in [(first + i) % len(builds) for i in range(len(builds))]:
        directory = builds[k][1]
        env = dict(os.environ, PYTHONPATH=os.path.abspath(directory), OPENBLAS_NUM_THREADS="1")
        process = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env
        )
        workers[k] = process
        ready = process.stdout.readline().split()
        # A directory without the module would silently time the installed one instead.
        if ready[:1] != ["ready"] or os.path.dirname(ready[1]) != os.path.abspath(directory):
            stop([w for w in workers if w is not None])
            raise RuntimeError(f"no worker over a tovalib module in {directory}: {ready}")
    seconds: list[list[float]] = [[] for _ in builds]
    for call in range(calls):
        order = range(len(workers)) if call % 2 == 0 else reversed(range(len(workers)))
        for k in order:
            workers[k].stdin.write("call\n")
            workers[k].stdin.flush()
            line = workers[k].stdout.readline()
            if not line:
                stop(workers)
                raise RuntimeError(f"the worker for {builds[k][1]} stopped at call {call}")
            seconds[k].append(float(line))
    for process in workers:
        process.stdin.close()
        process.wait()
    return [statistics.median(s) for s in seconds]


if __name__ == "__main__":
    sys.exit(main())
