"""Sample in parallel: one NeighborSampler per process over shared memory-mapped arrays.

The benchmark graph is saved once as .npy files. Every worker process memory-maps the same files
(no copy per worker: the OS shares the pages between processes), builds its own sampler and
samples its own shard of the seed batches. Throughput is measured with 1 worker and with N.

    python examples/parallel_sampling.py --scale small --batches 8 --workers 2
    python examples/parallel_sampling.py --workers 2 --data /tmp/tovalib_graph
"""

import argparse
import json
import multiprocessing as mp
import os
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import tovalib
from tovalib_pyg import synthetic as graphs

SEED_TYPE = "transaction"
FAN_OUT = np.array([15, 10], dtype=np.int64)
NO_TIME = np.empty(0, dtype=np.int64)

# Per-process state, set by init_worker: a sampler cannot be pickled, so it is never sent to a
# worker; each worker builds its own from the file paths.
_worker = {}


def open_sampler(data_dir, seed):
    """A sampler over the memory-mapped graph in data_dir, its request and the number of seeds."""
    g = graphs.load(data_dir, mmap=True)  # np.load(mmap_mode="r"): shared pages, no copy
    sampler = tovalib.NeighborSampler(g.node_types, g.edge_types, g.colptr, g.row, {}, seed=seed)
    return sampler, {graphs.key(et): FAN_OUT for et in g.edge_types}, g.num_nodes()[SEED_TYPE]


def init_worker(data_dir, ranks, barrier, base_seed):
    # A rank is handed out once per process, so shard k is always sampled with seed base + k.
    rank = ranks.get()
    # Distinct seeds give every worker its own random stream: with one seed all workers would draw
    # the same numbers call after call, correlating the neighbours picked across shards. Tying the
    # seed to the rank keeps a run reproducible for a given worker count.
    sampler, num_neighbors, num_seeds = open_sampler(data_dir, base_seed + rank)
    _worker.update(
        rank=rank,
        sampler=sampler,
        num_neighbors=num_neighbors,
        num_seeds=num_seeds,
        barrier=barrier,
    )


def seed_batch(index, batch_size, num_seeds, base_seed):
    # Seeds depend only on the batch index, so the batches are the same whatever the worker count.
    rng = np.random.default_rng([base_seed, index])
    return rng.integers(0, num_seeds, size=batch_size, dtype=np.int64)


def sample_shard(num_workers, num_batches, batch_size, base_seed):
    """Samples the batches rank, rank + N, rank + 2N, ...; returns (calls, sampled edges, s)."""
    rank, sampler = _worker["rank"], _worker["sampler"]
    shard = range(rank, num_batches, num_workers)
    batches = [seed_batch(i, batch_size, _worker["num_seeds"], base_seed) for i in shard]
    # Waiting for all N makes each worker take exactly one task and starts the clocks together,
    # after process start-up and imports.
    _worker["barrier"].wait()
    start = time.perf_counter()
    edges = 0
    for seeds in batches:
        out = sampler.sample(_worker["num_neighbors"], {}, SEED_TYPE, seeds, NO_TIME)
        edges += sum(len(r) for r in out[0].values())
    return len(batches), edges, time.perf_counter() - start


def run(num_workers, args, data_dir):
    # "spawn", not "fork": forking a process that already runs threads (BLAS, a training framework)
    # can deadlock the child, spawn works alike on Linux, macOS and Windows, and it rebuilds the
    # sampler from paths as a DataLoader worker or another machine must. ProcessPoolExecutor, not
    # multiprocessing.Pool: a worker failing to start raises instead of being restarted forever.
    ctx = mp.get_context("spawn")
    ranks, barrier = ctx.Queue(), ctx.Barrier(num_workers)
    for rank in range(num_workers):
        ranks.put(rank)
    # Queues and barriers reach a worker only as initializer arguments, at process creation.
    initargs = (data_dir, ranks, barrier, args.seed)
    with ProcessPoolExecutor(num_workers, ctx, init_worker, initargs) as pool:
        tasks = [
            pool.submit(sample_shard, num_workers, args.batches, args.batch_size, args.seed)
            for _ in range(num_workers)
        ]
        shards = [task.result() for task in tasks]
    calls, edges = sum(s[0] for s in shards), sum(s[1] for s in shards)
    seconds = max(s[2] for s in shards)  # the slowest shard ends the parallel section
    label = f"{num_workers} worker{'s' if num_workers > 1 else ''}"
    print(
        f"{label:>10}: {calls} calls in {seconds:.2f} s: {calls / seconds:8.1f} calls/s, "
        f"{edges / seconds / 1e6:6.2f} M sampled edges/s"
    )
    return calls / seconds


def prepare(data_dir, scale):
    manifest = os.path.join(data_dir, graphs.MANIFEST)
    if os.path.exists(manifest):
        with open(manifest) as fh:
            if json.load(fh).get("meta", {}).get("scale") == scale:
                print(f"graph: reusing {data_dir}")
                return
    start = time.perf_counter()
    graphs.save(graphs.generate(scale, seed=0), data_dir, meta={"scale": scale, "seed": 0})
    print(f"graph: scale {scale} saved to {data_dir} in {time.perf_counter() - start:.1f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", default="default", choices=["small", "default"])
    parser.add_argument("--workers", type=int, default=os.cpu_count())
    parser.add_argument("--batches", type=int, default=256, help="seed batches in total")
    parser.add_argument("--batch-size", type=int, default=1024, help="seeds per batch")
    parser.add_argument("--data", help="directory for the .npy files (default: a temporary one)")
    parser.add_argument("--seed", type=int, default=123, help="base seed of samplers and batches")
    args = parser.parse_args()
    if args.workers < 1 or args.batches < args.workers:
        parser.error("need at least one worker and one batch per worker")

    with tempfile.TemporaryDirectory() as tmp:
        data_dir = args.data or tmp
        prepare(data_dir, args.scale)
        print(
            f"{args.batches} batches of {args.batch_size} '{SEED_TYPE}' seeds, uniform fan-out "
            f"{FAN_OUT.tolist()} over every edge type; {os.cpu_count()} cores"
        )
        one = run(1, args, data_dir)
        many = run(args.workers, args, data_dir)
    print(f"speed-up with {args.workers} workers: {many / one:.2f}x")


if __name__ == "__main__":
    main()
