"""The PyTorch training example: what DistributedDataParallel promises under torchrun, and what the
example promises about its seeds. Needs torch (skipped without it); CI runs it in a step of its own
(tools/torch_check.sh), not in `make test`."""

import importlib
import pathlib
import subprocess
import sys

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("tqdm")

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "train_temporal_gnn.py"
EPOCHS = 2


def load_example():
    sys.path.insert(0, str(EXAMPLE.parent))
    try:
        return importlib.import_module("train_temporal_gnn")
    finally:
        sys.path.remove(str(EXAMPLE.parent))


@pytest.fixture(scope="module")
def example():
    return load_example()


@pytest.fixture(scope="module")
def data_dir(example, tmp_path_factory):
    path = tmp_path_factory.mktemp("graph")
    example.prepare(str(path), "small")
    return path


def train(data_dir, record, *args, ranks=1):
    launcher = ["-m", "torch.distributed.run", "--standalone", f"--nproc_per_node={ranks}"]
    command = [
        sys.executable,
        *(launcher if ranks > 1 else []),
        str(EXAMPLE),
        "--scale",
        "small",
        "--data",
        str(data_dir),
        "--no-baseline",
        "--quiet",
        "--record",
        str(record),
        *args,
    ]
    result = subprocess.run(command, check=False, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    return [torch.load(record / f"rank{r}.pt") for r in range(ranks)]


@pytest.fixture(scope="module")
def two_ranks(data_dir, tmp_path_factory):
    record = tmp_path_factory.mktemp("two_ranks")
    return train(data_dir, record, "--epochs", str(EPOCHS), "--workers", "1", ranks=2)


def test_both_ranks_end_with_identical_parameters(two_ranks):
    first, second = (r["params"] for r in two_ranks)
    assert first.keys() == second.keys()
    assert all(torch.equal(first[k], second[k]) for k in first)


def test_the_loss_goes_down(two_ranks):
    for record in two_ranks:
        per_epoch = np.array_split(np.array(record["losses"]), EPOCHS)
        assert per_epoch[-1].mean() < per_epoch[0].mean()
    assert two_ranks[0]["epoch_loss"][-1] < two_ranks[0]["epoch_loss"][0]


def test_rank_shards_are_disjoint_and_cover_every_epoch(two_ranks, example, data_dir):
    train_ids, _ = example.Task(str(data_dir)).split()
    for epoch in range(EPOCHS):
        shards = [r["epoch_seeds"][epoch].numpy() for r in two_ranks]
        assert len(np.intersect1d(*shards)) == 0
        both = np.concatenate(shards)
        assert len(both) == len(train_ids)
        assert np.array_equal(np.sort(both), np.sort(train_ids))


def test_each_epoch_gives_a_rank_other_seeds(two_ranks):
    for record in two_ranks:
        first, second = (set(s.tolist()) for s in record["epoch_seeds"][:2])
        assert first != second


def test_training_is_earlier_than_validation(example, data_dir):
    task = example.Task(str(data_dir))
    train_ids, val_ids = task.split()
    assert len(train_ids) > 0
    assert len(val_ids) > 0
    assert task.seed_time[train_ids].max() < task.seed_time[val_ids].min()


@pytest.mark.parametrize("workers", [0, 2])
def test_no_subgraph_holds_a_node_later_than_its_seed(example, data_dir, workers):
    task = example.Task(str(data_dir))
    _, val_ids = task.split()
    batches = np.array_split(val_ids[:1024], 4)
    dataset = example.SubgraphBatches(str(data_dir), batches, (0, example.VALIDATION, 0, 0))
    loader = torch.utils.data.DataLoader(
        dataset,
        batch_size=None,
        num_workers=workers,
        worker_init_fn=example.worker_init_fn,
        collate_fn=None,
    )
    sampled = 0
    for seeds, (_, _, node, batch, _, _) in loader:
        seed_time = task.seed_time[np.asarray(seeds)]
        # The model reads the seeds out as the first local indices of their type.
        assert np.array_equal(node[example.SEED_TYPE][: len(seeds)], seeds)
        for node_type, ids in node.items():
            ids, owner = np.asarray(ids), np.asarray(batch[node_type])
            assert (task.graph.node_time[node_type][ids] <= seed_time[owner]).all(), node_type
            sampled += len(ids)
    assert sampled > 4 * 1024  # the neighbourhoods are not empty


def test_the_worker_count_does_not_change_the_result(data_dir, tmp_path):
    # Threads pinned: a different thread count may sum floats in another order.
    short = ["--epochs", "1", "--train-seeds", "2048", "--threads", "1"]
    runs = [train(data_dir, tmp_path / str(w), *short, "--workers", str(w))[0] for w in (0, 2)]
    assert all(torch.equal(runs[0]["params"][k], runs[1]["params"][k]) for k in runs[0]["params"])
    assert runs[0]["losses"] == runs[1]["losses"]
