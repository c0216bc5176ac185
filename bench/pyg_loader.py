"""Batches per second of tovalib_pyg's NeighborLoader against the direct route, and PyG's own.

Every route gets the synthetic retail graph with node times and 16 features per node, the same
seed type, batch size and fan-outs, and runs in this one process, one thread, 0 workers:

* ``direct``: ``tovalib.NeighborSampler.sample()`` on the CSC arrays, then the gathers a batch
  needs (every node attribute indexed by the sampled ids, each edge type's rows and columns
  stacked into an ``edge_index``), into plain dicts: the least a training loop could do.
* ``tovalib_pyg``: the loader's ``HeteroData`` batches, as a training loop receives them.
* ``torch_geometric``: PyG's own ``NeighborLoader`` with ``disjoint=True``, where it can sample
  (it needs pyg-lib or torch-sparse, which the package index lacks for some platforms: its error
  is printed instead).

Each route runs epoch after epoch, as a training loop does; each round times the next batches of
every route in turn, rotating which goes first, and the medians over rounds are printed, with each
route's time per batch over the direct route's.

    python bench/pyg_loader.py --scale small --rounds 9
"""

import argparse
import statistics
import time

import numpy as np
import torch

import tovalib
from tovalib_pyg import NeighborLoader
from tovalib_pyg.synthetic import generate

SEED_TYPE = "transaction"


def hetero_data(graph):
    from torch_geometric.data import HeteroData

    generator = torch.Generator().manual_seed(0)
    data = HeteroData()
    for node_type, count in graph.num_nodes().items():
        data[node_type].x = torch.randn(count, 16, generator=generator)
        data[node_type].time = torch.from_numpy(graph.node_time[node_type])
    for edge_type in graph.edge_types:
        key = "__".join(edge_type)
        colptr = torch.from_numpy(graph.colptr[key])
        col = torch.repeat_interleave(torch.arange(colptr.numel() - 1), colptr.diff())
        data[edge_type].edge_index = torch.stack([torch.from_numpy(graph.row[key]), col])
    return data


class Direct:
    """``sample()`` plus the batch's gathers, with nothing of PyG in between."""

    def __init__(self, graph, data, args):
        self.node_time = graph.node_time if args.mode == "recent" else {}
        self.sampler = tovalib.NeighborSampler(
            graph.node_types, graph.edge_types, graph.colptr, graph.row, self.node_time
        )
        self.fan_out = {
            "__".join(et): np.array(args.fan_out, dtype=np.int64) for et in graph.edge_types
        }
        self.attributes = {
            node_type: {"x": data[node_type].x, "time": data[node_type].time}
            for node_type in graph.node_types
        }
        self.edge_type = {"__".join(et): et for et in graph.edge_types}

    def batch(self, seeds):
        seed_time = (
            self.node_time[SEED_TYPE][seeds] if self.node_time else np.empty(0, dtype=np.int64)
        )
        rows, cols, nodes, batch, _, _ = self.sampler.sample(
            self.fan_out, {}, SEED_TYPE, seeds, seed_time
        )
        out = {}
        for node_type, ids in nodes.items():
            index = torch.from_numpy(ids)
            gathered = {k: v.index_select(0, index) for k, v in self.attributes[node_type].items()}
            out[node_type] = dict(gathered, n_id=index, batch=torch.from_numpy(batch[node_type]))
        for key, row in rows.items():
            edge_index = torch.stack([torch.from_numpy(row), torch.from_numpy(cols[key])])
            out[self.edge_type[key]] = {"edge_index": edge_index}
        return out, sum(row.size for row in rows.values())


def routes(graph, data, args):
    common = dict(
        num_neighbors=args.fan_out,
        input_nodes=SEED_TYPE,
        batch_size=args.batch_size,
        shuffle=True,
        **({"time_attr": "time"} if args.mode == "recent" else {}),
    )
    made = {"direct": Direct(graph, data, args), "tovalib_pyg": NeighborLoader(data, **common)}
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


class Batches:
    """A route's batches, epoch after epoch, as a training loop draws them: like the variable of
    a ``for`` loop, the last batch lives on while the next one is made."""

    def __init__(self, route, num_seeds, batch_size):
        self.route, self.num_seeds, self.batch_size = route, num_seeds, batch_size
        self.epoch = iter(())
        self.last = None

    def __next__(self):
        """The next batch and its number of sampled edges."""
        batch = next(self.epoch, None)
        if batch is None:
            self.epoch = self.new_epoch()
            batch = next(self.epoch)
        self.last = batch
        return batch

    @staticmethod
    def counted(batch):
        return batch, batch.num_edges

    def new_epoch(self):
        if not isinstance(self.route, Direct):
            return (self.counted(batch) for batch in self.route)
        order = torch.randperm(self.num_seeds).numpy()
        return (
            self.route.batch(order[start : start + self.batch_size])
            for start in range(0, self.num_seeds, self.batch_size)
        )


def time_batches(batches, count):
    """Seconds per batch and sampled edges per batch over the next ``count`` batches."""
    edges, start = 0, time.perf_counter()
    for _ in range(count):
        edges += next(batches)[1]
    return (time.perf_counter() - start) / count, edges / count


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", default="small")
    parser.add_argument("--mode", choices=["uniform", "recent"], nargs="+", default=None)
    parser.add_argument("--fan-out", type=int, nargs="+", default=[10, 10])
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--batches", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    torch.set_num_threads(1)
    torch.manual_seed(0)
    graph = generate(args.scale, seed=0)
    data = hetero_data(graph)
    for mode in args.mode or ["recent", "uniform"]:
        args.mode = mode
        made = routes(graph, data, args)
        batches = {
            name: Batches(route, graph.num_nodes()[SEED_TYPE], args.batch_size)
            for name, route in made.items()
        }
        seconds = {name: [] for name in made}
        edges = {}
        for round_index in range(args.rounds):
            names = list(made)
            names = names[round_index % len(names) :] + names[: round_index % len(names)]
            for name in names:
                per_batch, edges[name] = time_batches(batches[name], args.batches)
                seconds[name].append(per_batch)
        direct = statistics.median(seconds["direct"])
        for name, values in seconds.items():
            median = statistics.median(values)
            print(
                f"{mode:>7} {name:>15}: {1 / median:7.1f} batches/s, "
                f"{edges[name] / median / 1e6:6.2f} M edges/s, {median / direct:4.2f}x direct "
                f"({args.batch_size} seeds, fan-out {args.fan_out}, {args.rounds} rounds)"
            )


if __name__ == "__main__":
    main()
