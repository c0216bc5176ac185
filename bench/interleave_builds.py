"""Times several builds of the module side by side, in alternating order, and compares them.

Each build is a directory holding a tovalib shared object (copy one out of the venv, or build one
with tools/build_variant.sh). This kind of VM drifts by 15% and more over seconds and minutes, so
builds are only ever compared within one run, their turns alternating. Two ways:

Call by call (--mode MODE), for differences under 15%: each build runs in its own worker process,
all holding the same graph and drawing the same seed batches; the parent asks each worker for one
call in turn (the order reversed every call, so no build always runs right after the same other),
so neighbouring calls see the same machine. Per build it prints the median time per call and its
ratio to the first build.

A worker process can also be lucky or unlucky for its whole life (where its tables landed in
memory): two workers over the same build have differed by up to 25% in one round here, and the
worker started first fared differently from the others on average. With --rounds N every round
starts fresh workers, the start order rotating, and the ratio printed is the median of
the N rounds' ratios, each shown. Rounds are cheap: with 30 of them, three A/A runs here gave
1.007, 0.996 and 0.961.

Whole benchmark runs (--whole-runs), for a first look at every workload at once: each round runs
bench/benchmark.py once per build, the start order rotating; per workload the median round
counts. Arguments after -- go to the benchmark; --data, when given, goes to it too.

    python bench/interleave_builds.py before=/tmp/builds/before after=/tmp/builds/after \\
        --mode uniform --batch 1024 --calls 30 --rounds 30 --data bench/data/default
    python bench/interleave_builds.py before=/tmp/builds/before after=/tmp/builds/after \\
        --whole-runs --rounds 3 -- --data bench/data/default --batches 40
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DATA = os.path.join(HERE, "data", "default")


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
    argv = sys.argv[1:] if argv is None else argv
    split = argv.index("--") if "--" in argv else len(argv)
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("builds", nargs="*", help="NAME=DIRECTORY; the first is the reference")
    how = parser.add_mutually_exclusive_group()
    how.add_argument("--mode", choices=("uniform", "recent", "window", "mixed"))
    how.add_argument(
        "--whole-runs", action="store_true", help="run the whole benchmark per build and round"
    )
    parser.add_argument("--batch", type=int, default=1024, help="seeds per call")
    parser.add_argument("--calls", type=int, default=80, help="calls per round")
    parser.add_argument(
        "--rounds",
        type=int,
        help="rounds, each with fresh processes; medians over rounds (default 1, whole runs 3)",
    )
    parser.add_argument(
        "--fan-out", type=int, nargs="+", help="per hop; default 15 10 (10 for one seed)"
    )
    parser.add_argument("--data", help=f"the saved graph (default {DEFAULT_DATA})")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv[:split])
    bench_args = argv[split + 1 :]
    if args.worker:
        worker(args)
        return 0
    if len(args.builds) < 2 or not (args.mode or args.whole_runs):
        parser.error("give --mode or --whole-runs, and at least two builds")
    if bench_args and not args.whole_runs:
        parser.error("arguments after -- go to the benchmark, which only --whole-runs runs")
    builds = [b.split("=", 1) for b in args.builds]
    for name, directory in builds:
        # Without the module there, a run would silently time the installed one instead.
        if not glob.glob(os.path.join(directory, "tovalib*.so")):
            parser.error(f"{name}: no tovalib module in {directory}")
    if args.whole_runs:
        if args.data:
            bench_args = ["--data", args.data, *bench_args]
        compare_whole_runs(builds, bench_args, args.rounds or 3)
        return 0

    num_rounds = args.rounds or 1
    data = args.data or DEFAULT_DATA
    command = [sys.executable, os.path.abspath(__file__), "--worker", "--mode", args.mode]
    command += ["--batch", str(args.batch), "--calls", str(args.calls), "--data", data]
    if args.fan_out:
        command += ["--fan-out", *map(str, args.fan_out)]
    # Per round and build, the median seconds per call.
    rounds = [interleave(builds, command, args.calls, first=r) for r in range(num_rounds)]

    fan_out = " ".join(map(str, args.fan_out)) if args.fan_out else "default"
    print(
        f"{args.mode}, {args.batch} seeds, fan-out {fan_out}, "
        f"median of {args.calls} interleaved calls, {num_rounds} round(s)"
    )
    for k, (name, _) in enumerate(builds):
        ratios = [r[k] / r[0] for r in rounds]
        spread = f"   rounds {' '.join(f'{x:.3f}' for x in ratios)}" if len(rounds) > 1 else ""
        seconds = statistics.median(r[k] for r in rounds)
        print(f"{name:>16}{seconds * 1e6:>12.1f} us{statistics.median(ratios):>9.3f}{spread}")
    return 0


def compare_whole_runs(builds: list[list[str]], bench_args: list[str], rounds: int) -> None:
    """Runs bench/benchmark.py once per build and round, the start order rotating as in
    interleave(), and prints per workload the median ns per edge (per call for the one-seed
    workload), the median ratio to the floor, and each build's median against the first's."""
    figures: dict[str, dict[str, list[float]]] = {name: {} for name, _ in builds}
    order: list[str] = []
    one_seed: dict[str, bool] = {}  # no floor is measured for a one-seed call
    run_benchmark = [sys.executable, os.path.join(HERE, "benchmark.py"), "--quiet"]
    with tempfile.TemporaryDirectory() as tmp:
        for round_ in range(rounds):
            for k in [(round_ + i) % len(builds) for i in range(len(builds))]:
                name, directory = builds[k]
                out = os.path.join(tmp, f"{name}-{round_}.json")
                env = dict(os.environ, PYTHONPATH=os.path.abspath(directory))
                subprocess.run(
                    [*run_benchmark, "--json", out, *bench_args],
                    env=env,
                    check=True,
                    stdout=subprocess.DEVNULL,
                )
                with open(out) as f:
                    for r in json.load(f)["results"]:
                        if r["workload"] not in order:
                            order.append(r["workload"])
                            one_seed[r["workload"]] = r["batch_size"] == 1
                        # ns per call for the one-seed request, ns per edge for the rest.
                        figure = (
                            1e9 / r["calls_per_s"] if r["batch_size"] == 1 else r["ns_per_edge"]
                        )
                        figures[name].setdefault(r["workload"], []).append(figure)
                        figures[name].setdefault(r["workload"] + " floor", []).append(
                            r["ratio_to_floor"]
                        )

    median = {
        name: {k: statistics.median(v) for k, v in by_workload.items()}
        for name, by_workload in figures.items()
    }
    reference = builds[0][0]
    header = f"{'workload':<14}" + "".join(f"{name:>12}{'x floor':>9}" for name, _ in builds)
    header += "".join(f"  {name + '/' + reference:>14}" for name, _ in builds[1:])
    print("ns per sampled edge (ns per call for 'tiny'), median of", rounds, "whole runs")
    print(header)
    print("-" * len(header))
    for workload in order:
        line = f"{workload:<14}"
        for name, _ in builds:
            floor = median[name][workload + " floor"]
            line += f"{median[name][workload]:>12.1f}" + (
                f"{'-':>9}" if one_seed[workload] else f"{floor:>9.2f}"
            )
        for name, _ in builds[1:]:
            line += f"  {median[name][workload] / median[reference][workload]:>14.3f}"
        print(line)


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
