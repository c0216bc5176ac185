"""The module against the pure-Python model (tests/model.py) on random graphs and requests.

Every call returns a well-formed result or raises a documented exception with a message, and every
sequence of calls on one sampler, failing ones included, matches the model call by call, so a
failed call can neither leak into a later result nor put the random stream out of step. The
well-formed suite draws only faults that reach the hop loop; the hostile one adds malformed parts.
TOVALIB_HYPOTHESIS_PROFILE=long (see tests/strategies.py) explores far more examples.
"""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import messages
import model
import tovalib
from conftest import (
    EMPTY,
    LOOP,
    STAR,
    assert_same_outcome,
    assert_well_formed,
    i64,
    outcome,
    star_graph,
    windows,
)
from strategies import PROFILE, graphs, requests


@pytest.mark.parametrize("hostile", [False, True], ids=["well-formed", "hostile"])
@PROFILE
@given(data=st.data())
def test_call_sequences_match_the_model(data, hostile):
    graph, as_given, acceptable, sizes = data.draw(graphs(hostile))
    module = outcome(tovalib.NeighborSampler, **as_given)
    if not acceptable:
        assert isinstance(module, Exception)
        return
    reference = outcome(model.ModelSampler, **graph)
    if isinstance(module, Exception) or isinstance(reference, Exception):
        assert_same_outcome(module, reference)
        return
    for _ in range(data.draw(st.integers(1, 4))):
        request = data.draw(requests(graph, sizes, hostile))
        result = outcome(module.sample, **request)
        assert_same_outcome(result, outcome(reference.sample, **request))
        if not isinstance(result, Exception):
            assert_well_formed(graph, request, result)


@pytest.mark.parametrize("size", [99_999, 100_000])
def test_large_columns_match_model(size):
    # Both sides of the population size at which the record of taken offsets changes form, and
    # at 100,000 each form k can choose there: a hash set (300, then 17 in a table 300 grew), a
    # bit per offset (1000). The seed repeats, so one record serves many selections in a row and
    # must be emptied exactly.
    graph = star_graph(np.arange(size))
    module, reference = tovalib.NeighborSampler(**graph), model.ModelSampler(**graph)
    for k in (300, 17, 1000, 60):
        request = dict(
            num_neighbors={STAR: i64(k)},
            sampling_time_offsets={},
            entity_table="p",
            seed_node=np.zeros(20 if k < 1000 else 2, dtype=np.int64),
            seed_time=EMPTY,
        )
        assert_same_outcome(module.sample(**request), reference.sample(**request))


def test_model_generator_matches_published_values():
    model._self_check()


# Faults the fuzzer found, as fixed cases. A repeated name makes the hop loop expand an edge type
# twice per hop, or move a node type's frontier twice (dropping the nodes just added), so counts no
# longer match hops; a key shared by two different edge types would mix local indices of two node
# types in one array.
@pytest.mark.parametrize(
    "node_types, edge_types",
    [
        (["p", "p"], [("p", "to", "p")]),
        ([b"p", "p"], [("p", "to", "p")]),
        (["p"], [("p", "to", "p")] * 2),
    ],
)
def test_a_repeated_type_acts_once(node_types, edge_types):
    once = star_graph([1], [2], [0], source="p")  # p1 -> p0, p2 -> p1, p0 -> p2
    request = ({LOOP: i64(-1, -1, -1)}, {}, "p", i64(0), EMPTY)
    sampler = tovalib.NeighborSampler(
        **{**once, "node_types": node_types, "edge_types": edge_types}
    )
    assert_same_outcome(sampler.sample(*request), tovalib.NeighborSampler(**once).sample(*request))


def test_edge_types_sharing_a_key_are_refused():
    first, second, shared = ("a", "r__x", "b"), ("a__r", "x", "b"), "a__r__x__b"
    with pytest.raises(RuntimeError) as error:
        tovalib.NeighborSampler(
            ["a", "a__r", "b"], [first, second], {shared: i64(0, 1)}, {shared: i64(0)}, {}
        )
    assert error.value.args == (messages.shared_key(first, second, shared),)


# The fuzzed frontiers are short and their columns hold at most five neighbours. The timed rules
# bisect the columns of many frontier nodes at once, so a fault of that interleaving shows only on
# long frontiers: columns of very different lengths side by side, and nodes far apart in the
# frontier failing in different ways at different depths of their bisections.
TIMED_RULES = ["most-recent", "window", "window-no-lower"]


def timed_rule(rule, keys, hops=1, lower=-20):
    """The request parts that apply `rule` to every edge type in `keys` at every hop."""
    if rule == "most-recent":
        return dict(
            num_neighbors={k: np.full(hops, 2, np.int64) for k in keys}, sampling_time_offsets={}
        )
    rows = [(None if rule == "window-no-lower" else lower, 0)] * hops
    return dict(num_neighbors={}, sampling_time_offsets={k: windows(*rows) for k in keys})


Q_COUNT = 100  # q<u> has time u, so a column in ascending ids is sorted by time
CLEAN_LENGTHS = [1, 0, 3, 64, 2, 9, 1, 30, 5, 17]
# Fault nodes, read with seed time 1000 (later than every neighbour), each failing its own way:
FAULT_COLUMNS = {
    # the last of seven probes meets a neighbour outside node_time
    "deep-probe": [*range(63), Q_COUNT + 7],
    # a neighbour outside node_time that only the sortedness test reads (or a window's lower cut)
    "first-neighbour": [-1, 1, 2, 3, 4],
    "unsorted": [5, 1, 3],
}
FAULT_KINDS = [*FAULT_COLUMNS, "node-past-colptr", "column-past-row"]


def star_with_faults():
    """p0.. have clean columns, then one node per fault column, then one whose column runs past
    the end of row. Returns the graph and the node id of every fault kind but node-past-colptr."""
    columns = [list(range(length)) for length in CLEAN_LENGTHS]
    fault_node = {}
    for kind, column in FAULT_COLUMNS.items():
        fault_node[kind] = len(columns)
        columns.append(column)
    fault_node["column-past-row"] = len(columns)
    columns.append([0, 1])
    graph = star_graph(*columns, node_time={"q": np.arange(Q_COUNT, dtype=np.int64)})
    graph["colptr"][STAR][-1] += 3
    return graph, fault_node


@pytest.mark.parametrize("rule", TIMED_RULES)
@pytest.mark.parametrize(
    "positions", [(1, 2), (0, 15), (15, 16), (0, 31), (31, 32), (3, 40)], ids=str
)
@pytest.mark.parametrize(
    "first, second", [(a, b) for a in FAULT_KINDS for b in FAULT_KINDS if a != b]
)
def test_the_first_failing_frontier_node_decides_the_error(rule, positions, first, second):
    graph, fault_node = star_with_faults()
    fault_node["node-past-colptr"] = len(graph["colptr"][STAR]) + 3
    seeds = [v % len(CLEAN_LENGTHS) for v in range(48)]
    seed_times = [(1000, 30, 10, 0)[v % 4] for v in range(48)]

    def call(kinds):
        nodes, times = list(seeds), list(seed_times)
        for position, kind in zip(positions, kinds, strict=False):
            nodes[position], times[position] = fault_node[kind], 1000
        request = dict(
            **timed_rule(rule, [STAR], lower=-2000),
            entity_table="p",
            seed_node=i64(*nodes),
            seed_time=i64(*times),
        )
        module = outcome(tovalib.NeighborSampler(**graph).sample, **request)
        assert_same_outcome(module, outcome(model.ModelSampler(**graph).sample, **request))
        return module

    alone = call([first])
    assert isinstance(alone, Exception)
    assert_same_outcome(call([first, second]), alone)


@pytest.mark.parametrize("rule", TIMED_RULES)
@pytest.mark.parametrize("shuffled", [False, True], ids=["sorted", "locally-unsorted"])
@pytest.mark.parametrize("seed", range(4))
def test_long_frontiers_of_uneven_columns_match_the_model(rule, shuffled, seed):
    # Two hops over q -> p and a relation from p to itself, so the second hop's frontier grows while
    # it is expanded; column lengths from 0 to a few hundred; many equal times.
    rng = np.random.default_rng(seed)
    sizes = {"p": 80, "q": 400}
    node_time = {t: rng.integers(0, 50, size=n).astype(np.int64) for t, n in sizes.items()}
    colptr, row = {}, {}
    for src in ("q", "p"):
        key = f"{src}__to__p"
        lengths = rng.choice([0, 1, 1, 2, 3, 7, 40, 300], size=sizes["p"])
        columns = []
        for length in lengths:
            column = rng.integers(0, sizes[src], size=length)
            column = column[np.argsort(node_time[src][column], kind="stable")]
            if shuffled and length > 3:  # swap neighbours inside, keeping both ends
                i = rng.integers(1, length - 2, size=length // 4)
                column[i], column[i + 1] = column[i + 1], column[i].copy()
            columns.append(column)
        colptr[key] = np.cumsum([0, *lengths]).astype(np.int64)
        row[key] = np.concatenate(columns).astype(np.int64)
    graph = dict(
        node_types=["p", "q"],
        edge_types=[("q", "to", "p"), ("p", "to", "p")],
        colptr=colptr,
        row=row,
        node_time=node_time,
    )
    request = dict(
        **timed_rule(rule, colptr, hops=2),
        entity_table="p",
        seed_node=rng.integers(0, sizes["p"], size=60).astype(np.int64),
        seed_time=rng.integers(-5, 60, size=60).astype(np.int64),
    )
    module = outcome(tovalib.NeighborSampler(**graph).sample, **request)
    assert_same_outcome(module, outcome(model.ModelSampler(**graph).sample, **request))
    if not shuffled:
        assert not isinstance(module, Exception)
        assert_well_formed(graph, request, module)


def self_relation_graph(rng, count, degree, timed):
    """Nodes p0..p<count-1>, each citing `degree` random others through LOOP; p<u> has time u when
    timed, so a column sorted by id is sorted by time."""
    columns = np.sort(rng.integers(0, count, (count, degree)), axis=1)
    node_time = {"p": np.arange(count, dtype=np.int64)} if timed else None
    return star_graph(*columns, source="p", node_time=node_time)


# Chosen edges are stored a batch at a time; through a relation from a type to itself the batch
# appends to the very list the hop is reading its frontier from. Hops of thousands of edges, with
# neighbours met again within a seed's subgraph, over three calls on one sampler.
@pytest.mark.parametrize("rule", ["uniform", *TIMED_RULES])
def test_long_hops_through_a_self_relation_match_the_model(rule):
    rng = np.random.default_rng(5)
    count = 400
    graph = self_relation_graph(rng, count, degree=12, timed=rule != "uniform")
    if rule == "uniform":
        parts = dict(num_neighbors={LOOP: i64(5, 4, 3)}, sampling_time_offsets={})
    else:
        parts = timed_rule(rule, [LOOP], hops=3, lower=-150)
    module, reference = tovalib.NeighborSampler(**graph), model.ModelSampler(**graph)
    for call in range(3):
        seeds = rng.integers(0, count, 60 + 20 * call)
        request = dict(parts, entity_table="p", seed_node=seeds, seed_time=EMPTY)
        assert_same_outcome(module.sample(**request), reference.sample(**request))


# Seeds are registered with the whole batch's room made in the index map at once and slots fetched
# ahead; a batch of thousands (the table grows several times over in one step) with repeated ids,
# whose neighbours are often seeds of their own batch, must still match the model.
@pytest.mark.parametrize("rule", ["uniform", "most-recent"])
def test_a_seed_batch_far_larger_than_the_map_matches_the_model(rule):
    rng = np.random.default_rng(11)
    count = 300
    graph = self_relation_graph(rng, count, degree=6, timed=rule != "uniform")
    seeds = rng.integers(0, count, 5000)
    request = dict(
        num_neighbors={LOOP: i64(3)},
        sampling_time_offsets={},
        entity_table="p",
        seed_node=seeds,
        seed_time=EMPTY,
    )
    module, reference = tovalib.NeighborSampler(**graph), model.ModelSampler(**graph)
    for _ in range(2):  # the second call starts from the table the first one grew
        assert_same_outcome(module.sample(**request), reference.sample(**request))
