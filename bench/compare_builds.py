"""Runs the benchmark against several builds of the module, alternating, and compares them.

Each build is a directory holding a tovalib shared object (copy one out of the venv, or build one
with scripts such as tools/build_variant.sh). Runs alternate between builds, round after round,
so that drift of the machine hits every build alike; per workload the median round counts.

    python bench/compare_builds.py before=/tmp/builds/before after=/tmp/builds/after \\
        --rounds 3 -- --data bench/data/default --batches 40
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

HERE = os.path.dirname(os.path.abspath(__file__))


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    split = argv.index("--") if "--" in argv else len(argv)
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("builds", nargs="+", help="NAME=DIRECTORY; the first is the reference")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args(argv[:split])
    bench_args = argv[split + 1 :]
    builds = [b.split("=", 1) for b in args.builds]
    for name, directory in builds:
        # Without the module there, the run would silently time the installed one instead.
        if not glob.glob(os.path.join(directory, "tovalib*.so")):
            parser.error(f"{name}: no tovalib module in {directory}")

    rounds: dict[str, dict[str, list[float]]] = {name: {} for name, _ in builds}
    order: list[str] = []
    with tempfile.TemporaryDirectory() as tmp:
        for round_ in range(args.rounds):
            for name, directory in builds:
                out = os.path.join(tmp, f"{name}-{round_}.json")
                env = dict(os.environ, PYTHONPATH=os.path.abspath(directory))
                subprocess.run(
                    [
                        sys.executable,
                        os.path.join(HERE, "benchmark.py"),
                        "--quiet",
                        "--json",
                        out,
                        *bench_args,
                    ],
                    env=env,
                    check=True,
                    stdout=subprocess.DEVNULL,
                )
                with open(out) as f:
                    for r in json.load(f)["results"]:
                        if r["workload"] not in order:
                            order.append(r["workload"])
                        # ns per call for the tiny request, ns per edge for the rest.
                        figure = (
                            1e9 / r["calls_per_s"] if r["batch_size"] == 1 else r["ns_per_edge"]
                        )
                        rounds[name].setdefault(r["workload"], []).append(figure)
                        rounds[name].setdefault(r["workload"] + " floor", []).append(
                            r["ratio_to_floor"]
                        )

    median = {
        name: {k: statistics.median(v) for k, v in figures.items()}
        for name, figures in rounds.items()
    }
    reference = builds[0][0]
    header = f"{'workload':<14}" + "".join(f"{name:>12}{'x floor':>9}" for name, _ in builds)
    header += "".join(f"  {name + '/' + reference:>14}" for name, _ in builds[1:])
    print("ns per sampled edge (ns per call for 'tiny'), median of", args.rounds, "rounds")
    print(header)
    print("-" * len(header))
    for workload in order:
        line = f"{workload:<14}"
        for name, _ in builds:
            line += f"{median[name][workload]:>12.1f}{median[name][workload + ' floor']:>9.2f}"
        for name, _ in builds[1:]:
            line += f"  {median[name][workload] / median[reference][workload]:>14.3f}"
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
