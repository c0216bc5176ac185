"""tovalib_pyg against PyG itself: the batches PyG models consume, and the refusals users meet.

Skipped without torch_geometric; tools/pyg_check.sh runs it against both ends of the supported
torch_geometric range.
"""

import re
import warnings

import numpy as np
import pytest

pyg = pytest.importorskip("torch_geometric")
import torch  # noqa: E402  (after the skip: torch comes with torch_geometric)
from torch_geometric.data import Data, HeteroData  # noqa: E402
from torch_geometric.loader import NodeLoader  # noqa: E402

import messages  # noqa: E402
from tovalib_pyg import NeighborLoader, TovalibSampler, to_csc, with_edge_stores  # noqa: E402

BUYS, REV_BUYS, FOLLOWS = (
    ("user", "buys", "item"),
    ("item", "rev_buys", "user"),
    (
        "user",
        "follows",
        "user",
    ),
)
FAN_OUT = [3, 2]


def temporal_graph(seed, users=24, items=16, edges=120, span=40, timed=True):
    """Users and items with times drawn from a short span, so that ties are common; multi-edges
    and isolated nodes occur."""
    rng = np.random.default_rng(seed)
    data = HeteroData()
    for node_type, n in (("user", users), ("item", items)):
        data[node_type].x = torch.from_numpy(rng.standard_normal((n, 4)).astype(np.float32))
        data[node_type].y = torch.from_numpy(rng.integers(0, 2, n))
        if timed:
            data[node_type].time = torch.from_numpy(rng.integers(0, span, n))
    buys = np.stack([rng.integers(0, users, edges), rng.integers(0, items, edges)])
    data[BUYS].edge_index = torch.from_numpy(buys)
    data[REV_BUYS].edge_index = torch.from_numpy(buys[::-1].copy())
    data[FOLLOWS].edge_index = torch.from_numpy(rng.integers(0, users, (2, edges // 2)))
    return data


def reference(data, edge_type, target, seed_time, rule):
    """The sources of the edges into ``target`` that ``rule`` keeps, straight from the edge list:
    by (time, edge position), the last k not later than the seed time, or all in the window."""
    source_ids, target_ids = data[edge_type].edge_index.numpy()
    times = data[edge_type[0]].time.numpy()
    column = [
        (times[u], position, u)
        for position, (u, v) in enumerate(zip(source_ids, target_ids, strict=True))
        if v == target
    ]
    column.sort()
    if rule[0] == "last":
        kept = [entry for entry in column if entry[0] <= seed_time]
        k = rule[1]
        kept = kept if k < 0 else kept[max(len(kept) - k, 0) :] if k else []
    else:
        lower, upper = rule[1]
        kept = [
            entry
            for entry in column
            if (lower is None or entry[0] > seed_time + lower) and entry[0] <= seed_time + upper
        ]
    return sorted(int(entry[2]) for entry in kept)


def check_batch(data, batch, input_type, rules, input_nodes):
    """Every expanded node's sampled neighbours are exactly what ``rules[hop]`` keeps of its
    column, in PyG's direction (edge_index[0] is the neighbour, edge_index[1] the node
    expanded); no node reached is later than its seed allows; seeds come first, nodes hop by
    hop."""
    seed_time = batch[input_type].seed_time.numpy()
    size = batch[input_type].batch_size
    # input_id is a position in the loader's input (for a mask, the node itself).
    ids = input_nodes.input_id if input_nodes.input_id is not None else range(len(input_nodes.node))
    node_of = dict(zip(torch.as_tensor(ids).tolist(), input_nodes.node.tolist(), strict=True))
    seeds = [node_of[i] for i in batch[input_type].input_id.tolist()]
    assert batch[input_type].n_id[:size].tolist() == seeds
    hops = len(rules)
    latest = max([0] + [rule[1][1] for rule in rules if rule[0] == "window"])
    for node_type in batch.node_types:
        store = batch[node_type]
        reached = slice(size if node_type == input_type else 0, None)  # seeds keep their times
        times, seeds = store.time[reached].numpy(), store.batch[reached].numpy()
        assert (times <= seed_time[seeds] + latest).all()
        assert sum(store.num_sampled_nodes) == store.num_nodes
        hop_of = np.repeat(np.arange(hops + 1), store.num_sampled_nodes)
        for edge_type in batch.edge_types:
            if edge_type[2] != node_type:
                continue
            row, col = batch[edge_type].edge_index.numpy()
            sources = batch[edge_type[0]].n_id.numpy()
            for local in range(store.num_nodes):
                hop = hop_of[local]
                expected = (
                    reference(
                        data,
                        edge_type,
                        int(store.n_id[local]),
                        seed_time[store.batch[local]],
                        rules[hop],
                    )
                    if hop < hops
                    else []
                )
                assert sorted(sources[row[col == local]].tolist()) == expected


def snapshot(loader):
    """Each batch's sampled nodes, seeds and edges, comparable with ==."""
    return [
        (
            {t: (b[t].n_id.tolist(), b[t].batch.tolist()) for t in b.node_types},
            {et: b[et].edge_index.tolist() for et in b.edge_types},
        )
        for b in loader
    ]


@pytest.mark.parametrize(
    "seed, input_nodes",
    [
        (0, "item"),
        (1, ("item", None)),
        (2, ("item", torch.arange(16) % 3 == 0)),  # a mask
        (3, ("item", torch.tensor([5, 5, 0, 15]))),  # a repeated seed is two seeds
    ],
)
def test_most_recent_batches_match_the_edge_list(seed, input_nodes):
    data = temporal_graph(seed)
    loader = NeighborLoader(
        data, FAN_OUT, input_nodes=input_nodes, time_attr="time", batch_size=5, shuffle=True
    )
    for batch in loader:
        check_batch(data, batch, "item", [("last", k) for k in FAN_OUT], loader.input_data)


@pytest.mark.parametrize(
    "windows, input_time",
    [
        pytest.param([(-10, 0), (None, 5)], None, id="own times, open lower end"),
        pytest.param([(-1000, 1000), (-3, -1)], torch.arange(16) * 2, id="input_time"),
        pytest.param([(0, 100), (0, 100)], torch.full((16,), -50), id="all seeds before the graph"),
    ],
)
def test_window_batches_match_the_edge_list(windows, input_time):
    data = temporal_graph(7)
    loader = NeighborLoader(
        data,
        [],
        input_nodes="item",
        input_time=input_time,
        time_attr="time",
        time_windows=windows,
        batch_size=6,
    )
    for batch in loader:
        if input_time is not None:
            expected = input_time[batch["item"].input_id]
            assert torch.equal(batch["item"].seed_time, expected)
        check_batch(data, batch, "item", [("window", w) for w in windows], loader.input_data)


@pytest.mark.parametrize("windows", [None, [(-8, 0), (-8, 0)]], ids=["most recent", "windows"])
def test_timed_batches_do_not_depend_on_workers(windows):
    data = temporal_graph(3)
    num_neighbors = [] if windows else FAN_OUT
    common = dict(input_nodes="item", time_attr="time", time_windows=windows, batch_size=4)
    batches = [
        snapshot(NeighborLoader(data, num_neighbors, num_workers=workers, **common))
        for workers in (0, 2)
    ]
    assert batches[0] == batches[1]


def node_loader(data, **arguments):
    return NodeLoader(data, TovalibSampler(data, FAN_OUT), **arguments)


def neighbor_loader(data, **arguments):
    return NeighborLoader(data, FAN_OUT, **arguments)


@pytest.mark.parametrize("make", [neighbor_loader, node_loader])
@pytest.mark.parametrize("workers", [0, 2])
def test_uniform_batches_follow_the_torch_seed(make, workers):
    data = temporal_graph(5, timed=False)
    loader = make(data, input_nodes="item", batch_size=4, shuffle=True, num_workers=workers)
    runs = []
    for seed in (1, 1, 2):
        torch.manual_seed(seed)
        runs.append(snapshot(loader) + snapshot(loader))  # two epochs
    assert runs[0] == runs[1]
    assert runs[0] != runs[2]
    assert runs[0][: len(runs[0]) // 2] != runs[0][len(runs[0]) // 2 :]  # epochs differ


def test_csc_form_is_used_as_it_is(tmp_path):
    data = temporal_graph(11)
    node_time = {t: data[t].time.numpy() for t in data.node_types}
    edges = {et: data[et].edge_index for et in data.edge_types}
    csc = to_csc(edges, {t: data[t].num_nodes for t in data.node_types}, node_time)
    mapped = {}
    for number, (edge_type, arrays) in enumerate(csc.items()):
        for part, array in zip(("colptr", "row"), arrays, strict=True):
            np.save(tmp_path / f"{number}{part}.npy", array)
        mapped[edge_type] = tuple(
            np.load(tmp_path / f"{number}{part}.npy", mmap_mode="r") for part in ("colptr", "row")
        )
    features = HeteroData()  # no edge_index anywhere: the graph comes from the files
    for node_type in data.node_types:
        features[node_type].x, features[node_type].time = data[node_type].x, data[node_type].time
    common = dict(input_nodes="item", time_attr="time", batch_size=4)
    from_files = snapshot(NeighborLoader(features, FAN_OUT, csc=mapped, **common))
    converted = snapshot(NeighborLoader(data, FAN_OUT, **common))
    assert from_files == converted
    # PyG's NodeLoader drops edges whose type the data holds no edge_index for: said, and mended.
    unheld = re.escape(messages.pyg_edges_not_held(types=list(mapped)))
    with pytest.warns(UserWarning, match=unheld):
        sampler = TovalibSampler(features, FAN_OUT, time_attr="time", csc=mapped)
    data_with_stores = with_edge_stores(features, sampler.edge_types)
    loader = NodeLoader(data_with_stores, sampler, input_nodes="item", batch_size=4)
    assert snapshot(loader) == converted
    # The same graph as a homogeneous Data: the users and who follows whom.
    users = dict(x=data["user"].x, time=data["user"].time)
    follows = tuple(np.load(tmp_path / f"2{part}.npy", mmap_mode="r") for part in ("colptr", "row"))
    common = dict(time_attr="time", batch_size=4)
    from_files = NeighborLoader(Data(**users), FAN_OUT, csc=follows, **common)
    converted = NeighborLoader(
        Data(**users, edge_index=data[FOLLOWS].edge_index), FAN_OUT, **common
    )
    assert [(b.n_id.tolist(), b.edge_index.tolist()) for b in from_files] == [
        (b.n_id.tolist(), b.edge_index.tolist()) for b in converted
    ]


@pytest.mark.parametrize(
    "num_neighbors, time_windows",
    [
        pytest.param({"__".join(et): [3, 2] for et in (BUYS, REV_BUYS, FOLLOWS)}, None, id="keys"),
        pytest.param(pyg.sampler.base.NumNeighbors([3, 2]), None, id="NumNeighbors"),
        pytest.param(
            pyg.sampler.base.NumNeighbors({}, default=[3, 2]), None, id="NumNeighbors default"
        ),
        pytest.param([], {"user__buys__item": [(None, 0)] * 2}, id="window keys"),
    ],
)
def test_edge_types_as_pyg_spells_them(num_neighbors, time_windows):
    data = temporal_graph(6)
    common = dict(input_nodes="item", time_attr="time", batch_size=4)
    spelt = snapshot(NeighborLoader(data, num_neighbors, time_windows=time_windows, **common))
    if time_windows is None:
        expected = NeighborLoader(data, FAN_OUT, **common)
    else:
        windows = {BUYS: [(None, 0)] * 2}
        expected = NeighborLoader(data, {REV_BUYS: [], FOLLOWS: []}, time_windows=windows, **common)
    assert spelt == snapshot(expected)


class SeedModel(torch.nn.Module):
    """Two layers of HeteroConv(SAGEConv) over both edge types towards items and users."""

    def __init__(self, edge_types, hidden=16):
        super().__init__()
        from torch_geometric.nn import HeteroConv, SAGEConv

        self.convs = torch.nn.ModuleList(
            HeteroConv({et: SAGEConv((-1, -1), hidden) for et in edge_types}, aggr="sum")
            for _ in range(2)
        )
        self.head = torch.nn.Linear(hidden, 2)

    def forward(self, batch, trim=False):
        from torch_geometric.utils import trim_to_layer

        x, edges = batch.x_dict, batch.edge_index_dict
        for layer, conv in enumerate(self.convs):
            if trim:
                x, edges, _ = trim_to_layer(
                    layer, batch.num_sampled_nodes_dict, batch.num_sampled_edges_dict, x, edges
                )
            x = {t: h.relu() for t, h in conv(x, edges).items()}
        return self.head(x["item"][: batch["item"].batch_size])


def test_pyg_model_trains_and_trims():
    torch.manual_seed(0)
    data = temporal_graph(2, users=60, items=40, edges=400)
    # Items whose buyers' features sum high are positive: only the neighbourhood tells.
    src, dst = data[BUYS].edge_index
    score = torch.zeros(40).index_add_(0, dst, data["user"].x[src, 0])
    data["item"].y = (score > score.median()).long()
    loader = NeighborLoader(data, [-1, 4], input_nodes="item", time_attr="time", batch_size=40)
    batch = next(iter(loader))
    model = SeedModel(data.edge_types)
    with torch.no_grad():
        model(batch)  # lazy shapes
    optimiser = torch.optim.Adam(model.parameters(), lr=0.02)
    losses = []
    for _ in range(30):
        optimiser.zero_grad()
        loss = torch.nn.functional.cross_entropy(model(batch), batch["item"].y[:40])
        loss.backward()
        optimiser.step()
        losses.append(loss.item())
    assert losses[-1] < 0.7 * losses[0]
    with torch.no_grad():
        assert torch.allclose(model(batch, trim=True), model(batch), atol=1e-5)


def test_homogeneous_data_and_node_loader():
    hetero = temporal_graph(4)
    data = Data(x=hetero["user"].x, time=hetero["user"].time, edge_index=hetero[FOLLOWS].edge_index)
    sampler = TovalibSampler(data, [2, 2], time_attr="time")
    loader = NodeLoader(data, sampler, input_nodes=torch.arange(10), batch_size=5)
    for batch in loader:
        assert batch.batch_size == 5
        assert batch.n_id[:5].tolist() == batch.input_id.tolist()
        assert (batch.time <= batch.seed_time[batch.batch]).all()
        assert sum(batch.num_sampled_nodes) == batch.num_nodes
        assert sum(batch.num_sampled_edges) == batch.edge_index.size(1)
        global_edges = set(zip(*data.edge_index.tolist(), strict=True))
        assert set(zip(*batch.n_id[batch.edge_index].tolist(), strict=True)) <= global_edges


def same_batch(ours, theirs):
    """Whether two HeteroData batches hold the same stores, keys and values."""
    if ours.node_types != theirs.node_types or ours.edge_types != theirs.edge_types:
        return False
    for a, b in zip([ours, *ours.stores], [theirs, *theirs.stores], strict=True):
        if sorted(a.keys()) != sorted(b.keys()):
            return False
        for key in a.keys():  # noqa: SIM118 (a storage is no dict)
            x, y = a[key], b[key]
            if type(x) is not type(y):  # PyG 2.5 gives an EdgeIndex, later ones a Tensor
                return False
            if not (torch.equal(x, y) if isinstance(x, torch.Tensor) else x == y):
                return False
    return True


def odd_stores(data):
    """``data`` with what PyG's filter has rules for: node attributes of other shapes, an own
    n_id, num_nodes, a string, an edge attribute, a graph attribute."""
    data["user"].n_id = torch.arange(24) * 10  # kept, as PyG keeps it
    data["user"].emb = torch.randn(24, 2, 3)
    data["item"].num_nodes = 16
    data["item"].name = "items"
    data[BUYS].weight = torch.rand(120)
    data.year = 2024
    return data


def own_sampler(data, **batches):
    with pytest.warns(UserWarning, match=re.escape(messages.pyg_edge_attributes(names=["weight"]))):
        return NeighborLoader(data, FAN_OUT, time_attr="time", **batches)


def shared_sampler(data, **batches):
    """A sampler built on another graph: it knows a node and an edge type this data lacks, and
    this data has an edge type (with an attribute) it does not sample."""
    other = temporal_graph(12)
    other["tag"].x, other["tag"].time = torch.randn(5, 4), torch.arange(5)
    other["tag", "marks", "item"].edge_index = torch.tensor([[0, 1, 4], [3, 3, 9]])
    sampler = TovalibSampler(other, FAN_OUT, time_attr="time")
    data["item", "likes", "user"].edge_index = torch.tensor([[1, 2], [0, 5]])
    data["item", "likes", "user"].w = torch.ones(2)
    return NeighborLoader(data, FAN_OUT, neighbor_sampler=sampler, **batches)


# PyG 2.5 sizes each batch's EdgeIndex, and so warns for the node type only the sampler knows.
@pytest.mark.filterwarnings("ignore:Unable to accurately infer 'num_nodes':UserWarning")
@pytest.mark.parametrize("workers", [0, 1])
@pytest.mark.parametrize("make", [own_sampler, shared_sampler])
def test_batches_equal_pyg_own_filter(make, workers):
    """The loader's own batch assembly gives what PyG's filter gives, type for type, whatever
    else the stores hold, in the main process and in a worker (shared-memory gathers)."""
    arguments = dict(input_nodes="item", batch_size=5, num_workers=workers, filter_per_worker=True)
    loader = make(odd_stores(temporal_graph(12)), **arguments)
    ours = loader.filter_fn

    def both_ways(out):  # runs where PyG filters, in the worker if there is one
        batch = ours(out)
        batch.same_as_pyg = same_batch(batch, NodeLoader.filter_fn(loader, out))
        return batch

    loader.filter_fn = both_ways
    batches = list(loader)
    assert len(batches) == 4
    assert all(batch.same_as_pyg for batch in batches)
    assert all("weight" not in batch[BUYS] for batch in batches)


def float_time(data):
    data["user"].time = data["user"].time.float()
    return data


def short_time(data):
    data["user"].time = data["user"].time[:10]
    return data


def untimed_items(data):
    del data["item"].time
    return data


def edge_time(data):
    for node_type in data.node_types:
        del data[node_type].time
    data[BUYS].time = torch.zeros(data[BUYS].num_edges, dtype=torch.long)
    return data


REFUSALS = [  # (changes to the graph, loader arguments, exception, message)
    pytest.param(None, dict(disjoint=False), ValueError, messages.PYG_DISJOINT, id="disjoint"),
    pytest.param(
        None, dict(temporal_strategy="uniform"), ValueError, messages.PYG_UNIFORM, id="uniform"
    ),
    pytest.param(None, dict(replace=True), ValueError, messages.PYG_REPLACE, id="replace"),
    pytest.param(
        None,
        dict(subgraph_type="induced"),
        ValueError,
        messages.pyg_subgraph(kind="induced"),
        id="induced",
    ),
    pytest.param(None, dict(weight_attr="w"), ValueError, messages.PYG_WEIGHT, id="weight"),
    pytest.param(
        edge_time, {}, ValueError, messages.pyg_edge_time(attr="time"), id="edge-level time"
    ),
    pytest.param(
        float_time,
        {},
        ValueError,
        messages.pyg_integer_values(what="data['user'].time", dtype="float32"),
        id="float time",
    ),
    pytest.param(
        None,
        dict(num_neighbors={BUYS: [2], REV_BUYS: [2]}),
        ValueError,
        messages.pyg_missing_edge_type(edge_type=FOLLOWS),
        id="num_neighbors misses an edge type",
    ),
    pytest.param(
        None,
        dict(input_nodes="shop"),
        ValueError,
        messages.pyg_unknown_node_type(node_type="shop"),
        id="unknown type",
    ),
    pytest.param(
        untimed_items,
        {},
        ValueError,
        messages.pyg_seed_untimed(node_type="item", attr="time"),
        id="seed type has no time",
    ),
    pytest.param(
        None,
        dict(csc={BUYS: (np.zeros(3, dtype=np.int64), np.zeros(0, dtype=np.int64))}),
        ValueError,
        messages.pyg_csc_size(edge_type=BUYS, entries=3, node_type="item", nodes=16),
        id="csc colptr of the wrong size",
    ),
    pytest.param(
        short_time,
        {},
        ValueError,
        messages.pyg_time_length(name="data['user'].time", entries=10, nodes=24),
        id="a time per node",
    ),
    pytest.param(
        None,
        dict(is_sorted=True),
        ValueError,
        messages.pyg_not_sorted(edge_type=BUYS),
        id="is_sorted broken",
    ),
    pytest.param(
        None,
        dict(time_windows=[(-5, 0)]),
        ValueError,
        messages.pyg_window_hops(edge_type=BUYS, given=1, hops=2),
        id="windows too few",
    ),
    pytest.param(
        None,
        dict(time_windows=(-5, 0)),
        ValueError,
        messages.PYG_WINDOW_SHAPE,
        id="window not a list of pairs",
    ),
    pytest.param(
        None,
        dict(input_time=torch.full((16,), -(10**6))),
        ValueError,
        messages.pyg_too_early(latest=-(10**6), attr="time"),
        id="every seed time before the graph",
    ),
]


@pytest.mark.parametrize("change, arguments, exception, message", REFUSALS)
def test_refusals_say_what_to_use_instead(change, arguments, exception, message):
    data = temporal_graph(0)
    if change is not None:
        data = change(data)
    arguments = {"num_neighbors": FAN_OUT, "input_nodes": "item", **arguments}
    with pytest.raises(exception, match=re.escape(message)):
        next(iter(NeighborLoader(data, time_attr="time", batch_size=4, **arguments)))


def test_link_level_sampling_is_refused():
    sampler = TovalibSampler(temporal_graph(0), FAN_OUT)
    with pytest.raises(NotImplementedError, match=re.escape(messages.PYG_LINK_LEVEL)):
        sampler.sample_from_edges(None)


def test_dropped_edge_attributes_are_named_once():
    data = temporal_graph(0)
    data[BUYS].edge_attr = torch.ones(data[BUYS].num_edges, 2)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        loader = NeighborLoader(data, FAN_OUT, input_nodes="item", batch_size=8)
        batch = next(iter(loader))
    assert [str(w.message) for w in caught] == [messages.pyg_edge_attributes(names=["edge_attr"])]
    assert "edge_attr" not in batch[BUYS]
