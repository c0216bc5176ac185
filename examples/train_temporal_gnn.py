"""Train a temporal heterogeneous GNN on the benchmark graph, with one NeighborSampler per worker.

The task: predict a binary label of each transaction of the synthetic retail graph
(tovalib_pyg.synthetic, shipped in the wheel). The label depends on the transaction's customer, on
the products in its basket and on the customer's earlier transactions, so a model that sees only
the transaction's own features does much worse than one that reads its sampled neighbourhood; both
are trained and their validation AUCs printed. Transactions up to a cut-off time train, later ones
validate, and every seed is sampled at its own time, so no subgraph holds anything from the
seed's future.

    python examples/train_temporal_gnn.py --scale small
    torchrun --nproc_per_node=2 examples/train_temporal_gnn.py --scale small

Under torchrun every rank trains a DistributedDataParallel replica on its own shard of the seed
batches (gloo on CPU, nccl on GPUs). Needs torch and tqdm (`pip install 'tovalib[torch]'`).
"""

import argparse
import json
import math
import os
import tempfile
import time

import numpy as np
import torch
import torch.distributed as dist
from torch import nn
from torch.nn.parallel import DistributedDataParallel
from torch.utils.data import DataLoader, IterableDataset, get_worker_info
from tqdm import tqdm

import tovalib
from tovalib_pyg import synthetic as graphs

SEED_TYPE = "transaction"
FEATURE_DIM = {"customer": 8, "product": 8, "transaction": 8, "review": 4}
# Most recent 10 neighbours per edge type at each of two hops: every node type has a time, so
# with seed times given the sampler never looks past a seed's time.
FAN_OUT = np.array([10, 10], dtype=np.int64)
VALIDATION_FRACTION = 0.2
TASK_MANIFEST = "task.json"  # written last: its presence marks complete task files
TASK_FORMAT = 1


# --------------------------------------------------------------------------------------------
# data: the graph, node features and labels as .npy files, memory-mapped wherever they are read
# --------------------------------------------------------------------------------------------


def feature_file(node_type):
    return f"features__{node_type}.npy"


LABEL_FILE = f"label__{SEED_TYPE}.npy"


def make_labels(g, features, rng):
    """1 for the 30% of transactions with the highest score, which mixes the customer's features,
    the basket's products, the customer's earlier transactions and, weakly, the transaction."""

    def projection(dim):
        u = rng.standard_normal(dim)
        return u / np.linalg.norm(u)

    bought = graphs.key(("customer", "rev_bought_by", "transaction"))
    if not (np.diff(g.colptr[bought]) == 1).all():
        raise ValueError("expected exactly one customer per transaction")
    customer_of = g.row[bought]
    customer_score = features["customer"] @ projection(FEATURE_DIM["customer"])

    contains = graphs.key(("product", "rev_contains", "transaction"))
    basket_size = np.diff(g.colptr[contains])
    transaction_of_item = np.repeat(np.arange(basket_size.shape[0]), basket_size)
    product_score = features["product"] @ projection(FEATURE_DIM["product"])
    basket_score = (
        np.bincount(
            transaction_of_item,
            weights=product_score[g.row[contains]],
            minlength=basket_size.shape[0],
        )
        / basket_size
    )

    # Mean of feature 1 over the customer's earlier transactions: their columns list transactions
    # by time, so a prefix sum within each column gives it.
    by_customer = graphs.key(("transaction", "bought_by", "customer"))
    colptr, history = g.colptr[by_customer], g.row[by_customer]
    value = features["transaction"][history, 1].astype(np.float64)
    before = np.concatenate(([0.0], np.cumsum(value)))[:-1]
    column_start = np.repeat(colptr[:-1], np.diff(colptr))
    earlier = np.arange(history.shape[0]) - column_start
    history_mean = np.zeros(history.shape[0])
    has = earlier > 0
    history_mean[has] = (before[has] - before[column_start[has]]) / earlier[has]
    history_score = np.empty_like(history_mean)
    history_score[history] = history_mean

    own = features["transaction"][:, 0]
    score = (
        customer_score[customer_of]
        + 2.0 * basket_score
        + 1.5 * history_score
        + 0.5 * own
        + 0.3 * rng.standard_normal(own.shape[0])
    )
    return (score > np.quantile(score, 0.7)).astype(np.int8)


def prepare(data_dir, scale):
    """Writes the graph, features and labels into data_dir unless they are there already."""
    manifest = os.path.join(data_dir, TASK_MANIFEST)
    meta = {"format": TASK_FORMAT, "scale": scale}
    if os.path.exists(manifest):
        with open(manifest) as fh:
            if json.load(fh) == meta:
                return False
    g = graphs.generate(scale, seed=0)
    graphs.save(g, data_dir, meta={"scale": scale, "seed": 0})
    rng = np.random.default_rng(1)
    features = {
        t: rng.standard_normal((g.num_nodes()[t], d)).astype(np.float32)
        for t, d in FEATURE_DIM.items()
    }
    for t, x in features.items():
        np.save(os.path.join(data_dir, feature_file(t)), x)
    np.save(os.path.join(data_dir, LABEL_FILE), make_labels(g, features, rng))
    with open(manifest + ".tmp", "w") as fh:
        json.dump(meta, fh)
    os.replace(manifest + ".tmp", manifest)
    return True


class Task:
    """The memory-mapped graph, features and labels: opening one copies nothing, so every process
    opens its own and the operating system shares the pages."""

    def __init__(self, data_dir):
        self.graph = graphs.load(data_dir, mmap=True)
        self.features = {
            t: np.load(os.path.join(data_dir, feature_file(t)), mmap_mode="r")
            for t in self.graph.node_types
        }
        self.label = np.load(os.path.join(data_dir, LABEL_FILE), mmap_mode="r")
        self.seed_time = self.graph.node_time[SEED_TYPE]

    def sampler(self, seed):
        g = self.graph
        return tovalib.NeighborSampler(
            g.node_types, g.edge_types, g.colptr, g.row, g.node_time, seed=seed
        )

    def split(self):
        """Training and validation transactions, cut at a time so that validation is the future."""
        cut = np.quantile(self.seed_time, 1 - VALIDATION_FRACTION, method="lower")
        ids = np.arange(self.seed_time.shape[0], dtype=np.int64)
        return ids[self.seed_time <= cut], ids[self.seed_time > cut]


# --------------------------------------------------------------------------------------------
# loading: seed batches -> sampled subgraphs -> tensors, in the loader's worker processes
# --------------------------------------------------------------------------------------------


def epoch_batches(train_ids, batch_size, world_size, epoch, seed):
    """The epoch's batches, for rank r the list [r::world_size]. Every rank computes the same
    permutation, so the shards are disjoint and cover the training seeds without communication;
    array_split gives each rank the same number of batches, which DDP needs to stay in step."""
    order = np.random.default_rng([seed, epoch]).permutation(train_ids)
    per_rank = max(1, math.ceil(order.shape[0] / (batch_size * world_size)))
    return np.array_split(order, per_rank * world_size)


class SubgraphBatches(IterableDataset):
    """Yields (seeds, the six dicts of sample) per batch. Only paths and seed ids are pickled to
    the workers: a NeighborSampler cannot be, so each worker builds its own in worker_init_fn."""

    def __init__(self, data_dir, batches, stream):
        self.data_dir, self.batches, self.stream = data_dir, batches, stream
        self.task = self.sampler = None

    def open(self, worker):
        # A random stream per (--seed, training or validation, epoch, rank, worker): workers do
        # not repeat each other's draws, an epoch does not repeat the last one, and a rerun with
        # the same --seed repeats them all. (On this graph every type is timed, so most-recent
        # selection draws nothing; the seed matters as soon as an edge type samples uniformly.)
        state = np.random.SeedSequence([*self.stream, worker])
        self.task = Task(self.data_dir)
        self.sampler = self.task.sampler(int(state.generate_state(1)[0] % 2**31))
        self.num_neighbors = {graphs.key(et): FAN_OUT for et in self.task.graph.edge_types}

    def __iter__(self):
        info = get_worker_info()
        worker, workers = (0, 1) if info is None else (info.id, info.num_workers)
        if self.sampler is None:  # no worker processes: sample in this one
            self.open(worker)
        for seeds in self.batches[worker::workers]:
            # The seeds' own times: nothing later than a seed enters its subgraph.
            seed_time = np.ascontiguousarray(self.task.seed_time[seeds])
            yield seeds, self.sampler.sample(self.num_neighbors, {}, SEED_TYPE, seeds, seed_time)


def worker_init_fn(worker_id):
    get_worker_info().dataset.open(worker_id)


class Collate:
    """Turns one sample result into tensors, in the worker that sampled it. The index arrays are
    wrapped, not copied (torch.from_numpy); features are gathered from the memory-mapped files."""

    def __init__(self, data_dir):
        self.data_dir, self.task = data_dir, None

    def __call__(self, item):
        if self.task is None:
            self.task = Task(self.data_dir)
        seeds, (sampled_row, sampled_col, node, _batch, _num_nodes, _num_edges) = item
        return {
            "x": {t: torch.from_numpy(self.task.features[t][ids]) for t, ids in node.items()},
            "edges": {
                k: (torch.from_numpy(sampled_row[k]), torch.from_numpy(sampled_col[k]))
                for k in sampled_row
            },
            "y": torch.from_numpy(self.task.label[seeds].astype(np.float32)),
            "seeds": torch.from_numpy(seeds),
        }


TRAINING, VALIDATION = 0, 1


def make_loader(data_dir, batches, stream, workers, pin_memory=False):
    """stream: (--seed, TRAINING or VALIDATION, epoch, rank), the identity of the random stream."""
    return DataLoader(
        SubgraphBatches(data_dir, batches, stream),
        batch_size=None,
        num_workers=workers,
        worker_init_fn=worker_init_fn,
        collate_fn=Collate(data_dir),
        pin_memory=pin_memory,
    )


def to_device(batch, device):
    return {
        "x": {t: x.to(device, non_blocking=True) for t, x in batch["x"].items()},
        "edges": {
            k: (r.to(device, non_blocking=True), c.to(device, non_blocking=True))
            for k, (r, c) in batch["edges"].items()
        },
        "y": batch["y"].to(device, non_blocking=True),
    }


# --------------------------------------------------------------------------------------------
# models
# --------------------------------------------------------------------------------------------


class HeteroGNN(nn.Module):
    """Message passing over the sampled edges: at each layer a node type's new state is a linear
    map of its own state plus, per edge type into it, the mean of a linear map of the neighbours'
    states. Seeds are the first local indices of the seed type, so the readout is a slice.

    Only the node types and edge types whose output reaches the seeds get parameters: DDP
    requires every parameter to receive a gradient at every step."""

    def __init__(self, edge_types, hidden=64, layers=2):
        super().__init__()
        needed = [{SEED_TYPE}]  # the node types each layer must output, last layer first
        for _ in range(layers - 1):
            needed.insert(0, needed[0] | {s for s, _, d in edge_types if d in needed[0]})
        inputs = needed[0] | {s for s, _, d in edge_types if d in needed[0]}
        self.encode = nn.ModuleDict({t: nn.Linear(FEATURE_DIM[t], hidden) for t in sorted(inputs)})
        self.layers = nn.ModuleList()
        self.edge_types = []
        for out in needed:
            ets = [et for et in edge_types if et[2] in out]
            self.edge_types.append(ets)
            self.layers.append(
                nn.ModuleDict(
                    {
                        "self": nn.ModuleDict({t: nn.Linear(hidden, hidden) for t in sorted(out)}),
                        "edge": nn.ModuleDict(
                            {graphs.key(et): nn.Linear(hidden, hidden, bias=False) for et in ets}
                        ),
                    }
                )
            )
        self.head = nn.Sequential(nn.Linear(hidden, hidden), nn.ReLU(), nn.Linear(hidden, 1))

    def forward(self, x, edges, num_seeds):
        h = {t: torch.relu(lin(x[t])) for t, lin in self.encode.items()}
        for layer, ets in zip(self.layers, self.edge_types, strict=True):
            out = {t: lin(h[t]) for t, lin in layer["self"].items()}
            for src, rel, dst in ets:
                key = graphs.key((src, rel, dst))
                row, col = edges[key]
                message = layer["edge"][key](h[src])[row]
                total = torch.zeros_like(out[dst]).index_add_(0, col, message)
                count = torch.zeros(out[dst].shape[0], device=col.device).index_add_(
                    0, col, torch.ones_like(col, dtype=torch.float32)
                )
                out[dst] = out[dst] + total / count.clamp(min=1).unsqueeze(1)
            h = {t: torch.relu(v) for t, v in out.items()}
        return self.head(h[SEED_TYPE][:num_seeds]).squeeze(1)


class SeedOnly(nn.Module):
    """The baseline: the same readout over the seed's own features, no neighbourhood."""

    def __init__(self, hidden=64):
        super().__init__()
        self.net = nn.Sequential(
            nn.Linear(FEATURE_DIM[SEED_TYPE], hidden),
            nn.ReLU(),
            nn.Linear(hidden, hidden),
            nn.ReLU(),
            nn.Linear(hidden, 1),
        )

    def forward(self, x):
        return self.net(x).squeeze(1)


def roc_auc(label, score):
    """Area under the ROC curve from average ranks (tied scores share their rank)."""
    label, score = np.asarray(label) == 1, np.asarray(score)
    _, inverse, counts = np.unique(score, return_inverse=True, return_counts=True)
    rank = (np.cumsum(counts) - (counts - 1) / 2)[inverse]
    positives, negatives = label.sum(), (~label).sum()
    if positives == 0 or negatives == 0:
        return float("nan")
    return float((rank[label].sum() - positives * (positives + 1) / 2) / (positives * negatives))


# --------------------------------------------------------------------------------------------
# training
# --------------------------------------------------------------------------------------------


def setup_distributed():
    """(rank, world size, local rank); torchrun's environment means one rank of a process group."""
    if "WORLD_SIZE" not in os.environ:
        return 0, 1, 0
    local_rank = int(os.environ["LOCAL_RANK"])
    if torch.cuda.is_available():
        torch.cuda.set_device(local_rank)
    dist.init_process_group("nccl" if torch.cuda.is_available() else "gloo")
    return dist.get_rank(), dist.get_world_size(), local_rank


def evaluate(model, data_dir, val_ids, args, device):
    model.eval()
    batches = np.array_split(val_ids, max(1, math.ceil(val_ids.shape[0] / args.batch_size)))
    scores, labels = [], []
    with torch.no_grad():
        for batch in make_loader(data_dir, batches, (args.seed, VALIDATION, 0, 0), args.workers):
            b = to_device(batch, device)
            scores.append(model(b["x"], b["edges"], b["y"].shape[0]).cpu())
            labels.append(batch["y"])
    model.train()
    score, label = torch.cat(scores), torch.cat(labels)
    loss = nn.functional.binary_cross_entropy_with_logits(score, label).item()
    return loss, roc_auc(label.numpy(), score.numpy())


def train_gnn(args, data_dir, train_ids, val_ids, rank, world, device):
    torch.manual_seed(args.seed)
    task = Task(data_dir)
    model = HeteroGNN(task.graph.edge_types, args.hidden).to(device)
    ddp = (
        DistributedDataParallel(model, device_ids=[device] if device.type == "cuda" else None)
        if world > 1
        else model
    )
    optimizer = torch.optim.Adam(ddp.parameters(), lr=args.lr)
    record = {"losses": [], "epoch_seeds": [], "epoch_loss": []}
    for epoch in range(args.epochs):
        shard = epoch_batches(train_ids, args.batch_size, world, epoch, args.seed)[rank::world]
        loader = make_loader(
            data_dir,
            shard,
            (args.seed, TRAINING, epoch, rank),
            args.workers,
            pin_memory=device.type == "cuda",
        )
        waiting = computing = 0.0
        losses, seen = [], []
        epoch_start = tick = time.perf_counter()
        for batch in tqdm(
            loader,
            total=len(shard),
            desc=f"epoch {epoch + 1}",
            leave=False,
            disable=rank != 0 or args.quiet,
        ):
            started = time.perf_counter()
            waiting += started - tick
            b = to_device(batch, device)
            loss = nn.functional.binary_cross_entropy_with_logits(
                ddp(b["x"], b["edges"], b["y"].shape[0]), b["y"]
            )
            optimizer.zero_grad()
            loss.backward()
            optimizer.step()
            losses.append(loss.item())  # also waits for the device, so the time below is real
            seen.append(batch["seeds"].numpy())
            tick = time.perf_counter()
            computing += tick - started
        mean_loss = torch.tensor([float(np.mean(losses))])
        if world > 1:  # the printed loss is the mean over the ranks
            dist.all_reduce(mean_loss)
            mean_loss /= world
        seconds = time.perf_counter() - epoch_start  # after the all-reduce: the slowest rank
        record["losses"] += losses
        record["epoch_seeds"].append(torch.from_numpy(np.concatenate(seen)))
        record["epoch_loss"].append(mean_loss.item())
        if rank == 0:
            val_loss, auc = evaluate(model, data_dir, val_ids, args, device)
            print(
                f"epoch {epoch + 1}: {len(losses)} steps, train loss {mean_loss.item():.4f}, "
                f"validation loss {val_loss:.4f}, validation AUC {auc:.4f}; "
                f"{seconds:.1f} s, {train_ids.shape[0] / seconds:.0f} seeds/s over all ranks; "
                f"rank 0 waited for batches {waiting:.1f} s, was in the model {computing:.1f} s",
                flush=True,
            )
            record["auc"] = auc
        if world > 1:
            dist.barrier()  # the other ranks wait while rank 0 validates
    record["params"] = {k: v.detach().cpu().clone() for k, v in model.state_dict().items()}
    return record


def train_seed_only(args, task, train_ids, val_ids, device):
    """The baseline, trained on the same batches for the same number of steps."""
    torch.manual_seed(args.seed)
    model = SeedOnly(args.hidden).to(device)
    optimizer = torch.optim.Adam(model.parameters(), lr=args.lr)
    features = torch.from_numpy(np.array(task.features[SEED_TYPE]))  # writable copy
    label = torch.from_numpy(task.label.astype(np.float32))
    for epoch in range(args.epochs):
        for seeds in epoch_batches(train_ids, args.batch_size, 1, epoch, args.seed):
            loss = nn.functional.binary_cross_entropy_with_logits(
                model(features[seeds].to(device)), label[seeds].to(device)
            )
            optimizer.zero_grad()
            loss.backward()
            optimizer.step()
    with torch.no_grad():
        score = model(features[val_ids].to(device)).cpu().numpy()
    return roc_auc(label[val_ids].numpy(), score)


def loader_throughput(data_dir, train_ids, args, workers, rounds=3):
    """(subgraphs/s, sampled edges per batch) that the loader delivers, sampling and collate and
    the hand-over from the workers included, over `rounds` passes through the training batches,
    counted from the first batch on so that worker start-up is left out."""
    batches = epoch_batches(train_ids, args.batch_size, 1, 0, args.seed) * rounds
    loader = iter(make_loader(data_dir, batches, (args.seed, TRAINING, 0, 0), workers))
    next(loader)
    start, seeds, edges = time.perf_counter(), 0, 0
    for batch in loader:
        seeds += batch["y"].shape[0]
        edges += sum(row.shape[0] for row, _ in batch["edges"].values())
    return seeds / (time.perf_counter() - start), edges / (len(batches) - 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", default="small", choices=["small", "default"])
    parser.add_argument(
        "--data",
        help="directory of the graph and task files (default: temporary;"
        " under torchrun on several machines give a path every machine can read)",
    )
    parser.add_argument(
        "--prepare-only",
        action="store_true",
        help="write the graph and task files into --data and stop",
    )
    parser.add_argument("--epochs", type=int, default=3)
    parser.add_argument("--batch-size", type=int, default=512, help="seeds per batch and rank")
    parser.add_argument(
        "--train-seeds",
        type=int,
        default=0,
        help="train on the latest N training transactions only (0: all)",
    )
    parser.add_argument("--workers", type=int, default=1, help="loader worker processes per rank")
    parser.add_argument(
        "--threads",
        type=int,
        default=0,
        help="torch threads per rank (0: cores per rank less workers)",
    )
    parser.add_argument("--hidden", type=int, default=64)
    parser.add_argument("--lr", type=float, default=3e-3)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--device", default="auto", help="auto (CUDA when available), cpu, cuda")
    parser.add_argument("--no-baseline", action="store_true", help="skip the seed-only model")
    parser.add_argument(
        "--loader-benchmark",
        action="store_true",
        help="measure the loader with 0, 1 and 2 workers (single process only)",
    )
    parser.add_argument("--record", help="write this rank's parameters, losses and seeds here")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    args = parser.parse_args()

    started = time.perf_counter()
    rank, world, local_rank = setup_distributed()
    if args.threads == 0:
        # Leave a core to each loader worker: torch's threads spin while they wait for each other,
        # and on an oversubscribed CPU that made every step several times slower.
        cores = (os.cpu_count() or 1) // int(os.environ.get("LOCAL_WORLD_SIZE", "1"))
        args.threads = max(1, cores - args.workers)
    torch.set_num_threads(args.threads)
    if args.device == "auto":
        args.device = "cuda" if torch.cuda.is_available() else "cpu"
    device = torch.device(f"cuda:{local_rank}" if args.device == "cuda" else args.device)
    if device.type == "cuda":
        # Deterministic kernels, so that --seed fixes the run on a GPU too.
        os.environ.setdefault("CUBLAS_WORKSPACE_CONFIG", ":4096:8")
        torch.use_deterministic_algorithms(True)

    with tempfile.TemporaryDirectory() as tmp:
        data_dir = args.data or tmp
        if args.data is None and world > 1:
            parser.error("under torchrun give --data, a directory every rank can read")
        # One process per machine writes the files, the others wait for it.
        if local_rank == 0:
            made = prepare(data_dir, args.scale)
            if rank == 0:
                print(f"data: {'wrote' if made else 'reusing'} {data_dir} (scale {args.scale})")
        if world > 1:
            dist.barrier()
        if args.prepare_only:
            return

        task = Task(data_dir)
        train_ids, val_ids = task.split()
        if args.train_seeds:
            train_ids = train_ids[np.argsort(task.seed_time[train_ids], kind="stable")]
            train_ids = np.sort(train_ids[-args.train_seeds :])
        if rank == 0:
            print(
                f"{train_ids.shape[0]} training and {val_ids.shape[0]} validation transactions "
                f"({np.mean(task.label[val_ids]):.0%} positive); {world} rank(s) on {device}, "
                f"{args.workers} loader worker(s) each, {torch.get_num_threads()} thread(s)",
                flush=True,
            )

        record = train_gnn(args, data_dir, train_ids, val_ids, rank, world, device)
        if args.record:
            os.makedirs(args.record, exist_ok=True)
            torch.save(record, os.path.join(args.record, f"rank{rank}.pt"))
        if rank == 0 and not args.no_baseline:
            baseline = train_seed_only(args, task, train_ids, val_ids, device)
            print(f"validation AUC: GNN {record['auc']:.4f}, seed-only baseline {baseline:.4f}")
        if rank == 0:
            print(f"training took {time.perf_counter() - started:.1f} s", flush=True)
        if args.loader_benchmark and world == 1:
            for workers in (0, 1, 2):
                rate, edges = loader_throughput(data_dir, train_ids, args, workers)
                print(
                    f"loader, {workers} worker(s): {rate:8.0f} subgraphs/s "
                    f"({rate / args.batch_size:.1f} batches of {args.batch_size} seeds, "
                    f"{edges:.0f} sampled edges each)"
                )
    if world > 1:
        dist.destroy_process_group()


if __name__ == "__main__":
    main()
