"""Batches per second of tovalib_pyg's NeighborLoader, and of PyG's own where it can sample.

Both loaders get the same HeteroData (the synthetic retail graph with node times and features),
the same seeds and batch size; each round times a fixed number of batches of each, in turn, and
the medians over rounds are printed. "sampling" is the sampler alone (sample_from_nodes); "batch"
is what a training loop receives (features gathered, HeteroData built). PyG's own loader needs
pyg-lib or torch-sparse, which are not on the package index for every platform: where it cannot
sample, its error is printed instead of its figures.

    python bench/pyg_loader.py --scale small --rounds 5
"""

import argparse
import statistics
import time

import torch

from tovalib_pyg import NeighborLoader
from tovalib_pyg.synthetic import generate

SEED_TYPE = "transaction"


def hetero_data(scale):
    from torch_geometric.data import HeteroData

    graph = generate(scale, seed=0)
    data = HeteroData()
    for node_type, count in graph.num_nodes().items():
        data[node_type].x = torch.randn(count, 16)
        data[node_type].time = torch.from_numpy(graph.node_time[node_type])
    for edge_type in graph.edge_types:
        key = "__".join(edge_type)
        colptr = torch.from_numpy(graph.colptr[key])
        col = torch.repeat_interleave(torch.arange(colptr.numel() - 1), colptr.diff())
        data[edge_type].edge_index = torch.stack([torch.from_numpy(graph.row[key]), col])
    return data


def loaders(data, args):
    common = dict(
        num_neighbors=args.fan_out,
        input_nodes=SEED_TYPE,
        batch_size=args.batch_size,
        shuffle=True,
        **({"time_attr": "time"} if args.mode == "recent" else {}),
    )
    made = {"tovalib_pyg": NeighborLoader(data, **common)}
    from torch_geometric.loader import NeighborLoader as PyGNeighborLoader

    pyg_common = dict(common, disjoint=True)
    if args.mode == "recent":
        pyg_common["temporal_strategy"] = "last"
    try:
        pyg = PyGNeighborLoader(data, **pyg_common)
        next(iter(pyg))
        made["torch_geometric"] = pyg
    except (ImportError, ValueError) as error:
        print(f"torch_geometric's NeighborLoader cannot sample here: {error}")
    return made


def time_batches(loader, batches, sampler_only):
    """Seconds per batch and sampled edges per batch over ``batches`` batches."""
    edges, start = 0, time.perf_counter()
    if sampler_only:
        for index in torch.randperm(len(loader.dataset))[: batches * loader.batch_size].split(
            loader.batch_size
        ):
            out = loader.node_sampler.sample_from_nodes(loader.input_data[index])
            edges += sum(row.numel() for row in out.row.values())
    else:
        for _, batch in zip(range(batches), loader, strict=False):
            edges += batch.num_edges
    return (time.perf_counter() - start) / batches, edges / batches


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", default="small")
    parser.add_argument("--mode", choices=["uniform", "recent"], default="recent")
    parser.add_argument("--fan-out", type=int, nargs="+", default=[15, 10])
    parser.add_argument("--batch-size", type=int, default=1024)
    parser.add_argument("--batches", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    torch.set_num_threads(1)
    data = hetero_data(args.scale)
    made = loaders(data, args)
    for what, sampler_only in (("sampling", True), ("batch", False)):
        seconds, edges = {name: [] for name in made}, {}
        for _ in range(args.rounds):
            for name, loader in made.items():
                per_batch, edges[name] = time_batches(loader, args.batches, sampler_only)
                seconds[name].append(per_batch)
        for name, values in seconds.items():
            median = statistics.median(values)
            rate = edges[name] / median / 1e6
            print(
                f"{name:>15} {what:>8}: {1 / median:8.1f} batches/s, {rate:6.2f} M edges/s"
                f" ({args.mode}, {args.batch_size} seeds, fan-out {args.fan_out})"
            )


if __name__ == "__main__":
    main()
