"""Train a PyG model on a temporal heterogeneous graph with tovalib_pyg's NeighborLoader.

The graph is the synthetic retail database that ships with tovalib (customers, products,
transactions, reviews; every node has a time). The task: classify transactions, whose label
depends on the customer's and the basket's features, which only the sampled neighbourhood shows.
Each transaction is sampled at its own time (the 10 most recent neighbours per edge type at each
of two hops), so no batch holds anything from a seed's future; transactions after the 80% time
quantile validate.

    pip install 'tovalib[pyg]'
    python pyg_temporal.py --scale small --epochs 3
"""

import argparse
import time

import numpy as np
import torch
import torch.nn.functional as F
from torch_geometric.data import HeteroData
from torch_geometric.nn import GraphSAGE, to_hetero

from tovalib_pyg import NeighborLoader
from tovalib_pyg.synthetic import generate

SEED_TYPE = "transaction"
FEATURES = 8


def build_data(scale: str, seed: int = 0) -> HeteroData:
    """The synthetic graph as a HeteroData: random features, integer times, edge_index per edge
    type (its CSC columns listed as edges), and a label per transaction."""
    graph = generate(scale, seed=seed)
    rng = np.random.default_rng(seed)
    data = HeteroData()
    for node_type, count in graph.num_nodes().items():
        features = rng.standard_normal((count, FEATURES)).astype(np.float32)
        data[node_type].x = torch.from_numpy(features)
        data[node_type].time = torch.from_numpy(graph.node_time[node_type])
    for edge_type in graph.edge_types:
        key = "__".join(edge_type)
        colptr, row = graph.colptr[key], graph.row[key]
        col = np.repeat(np.arange(colptr.size - 1), np.diff(colptr))
        data[edge_type].edge_index = torch.from_numpy(np.stack([row, col]))

    # A transaction's score mixes its customer's features and its basket's: neither is in the
    # transaction's own features, so a model must read its neighbourhood.
    bought_by = data["customer", "rev_bought_by", "transaction"].edge_index
    contains = data["product", "rev_contains", "transaction"].edge_index
    count = data[SEED_TYPE].num_nodes
    customer = torch.zeros(count).index_add_(0, bought_by[1], data["customer"].x[bought_by[0], 0])
    basket = torch.zeros(count).index_add_(0, contains[1], data["product"].x[contains[0], 1])
    size = torch.zeros(count).index_add_(0, contains[1], torch.ones(contains.size(1)))
    score = customer + 2 * basket / size.clamp(min=1) + 0.3 * torch.randn(count)
    data[SEED_TYPE].y = (score > score.quantile(0.7)).long()
    return data


def auc(score: torch.Tensor, label: torch.Tensor) -> float:
    """Area under the ROC curve, by ranks (ties broken arbitrarily)."""
    ranks = torch.empty_like(score).scatter_(
        0, score.argsort(), torch.arange(1, score.numel() + 1, dtype=score.dtype)
    )
    positives = label.bool()
    n_pos, n_neg = int(positives.sum()), int((~positives).sum())
    return float((ranks[positives].sum() - n_pos * (n_pos + 1) / 2) / (n_pos * n_neg))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", default="small", help="synthetic graph: small or default")
    parser.add_argument("--epochs", type=int, default=3)
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--workers", type=int, default=0, help="loader worker processes")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    torch.manual_seed(args.seed)

    start = time.perf_counter()
    data = build_data(args.scale, args.seed)
    seed_time = data[SEED_TYPE].time
    cut = seed_time.float().quantile(0.8)
    train = torch.nonzero(seed_time <= cut).flatten()
    valid = torch.nonzero(seed_time > cut).flatten()
    print(
        f"graph: {sum(data.num_nodes_dict.values()):,} nodes, "
        f"{sum(data.num_edges_dict.values()):,} edges; {train.numel():,} training and "
        f"{valid.numel():,} validation transactions ({time.perf_counter() - start:.1f} s)"
    )

    common = dict(num_neighbors=[10, 10], time_attr="time", batch_size=args.batch_size)
    train_loader = NeighborLoader(
        data,
        input_nodes=(SEED_TYPE, train),
        shuffle=True,
        num_workers=args.workers,
        persistent_workers=args.workers > 0,
        **common,
    )
    valid_loader = NeighborLoader(data, input_nodes=(SEED_TYPE, valid), **common)

    model = to_hetero(GraphSAGE((-1, -1), 32, num_layers=2, out_channels=2), data.metadata())
    with torch.no_grad():  # lazy input sizes
        first = next(iter(valid_loader))
        model(first.x_dict, first.edge_index_dict)
    optimiser = torch.optim.Adam(model.parameters(), lr=0.005)

    for epoch in range(1, args.epochs + 1):
        start, total, steps = time.perf_counter(), 0.0, 0
        model.train()
        for batch in train_loader:
            optimiser.zero_grad()
            size = batch[SEED_TYPE].batch_size
            out = model(batch.x_dict, batch.edge_index_dict)[SEED_TYPE][:size]
            loss = F.cross_entropy(out, batch[SEED_TYPE].y[:size])
            loss.backward()
            optimiser.step()
            total, steps = total + loss.item(), steps + 1
        model.eval()
        scores, labels = [], []
        with torch.no_grad():
            for batch in valid_loader:
                size = batch[SEED_TYPE].batch_size
                out = model(batch.x_dict, batch.edge_index_dict)[SEED_TYPE][:size]
                scores.append(out.softmax(-1)[:, 1])
                labels.append(batch[SEED_TYPE].y[:size])
        print(
            f"epoch {epoch}: {steps} steps, train loss {total / steps:.4f}, "
            f"validation AUC {auc(torch.cat(scores), torch.cat(labels)):.4f}, "
            f"{time.perf_counter() - start:.1f} s"
        )


if __name__ == "__main__":
    main()
