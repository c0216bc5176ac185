"""Hostile input through the public API: graphs and requests built from random and malformed parts.

Every call returns a well-formed result or raises a documented exception with a message, and every sequence
of calls on one sampler, failing ones included, matches the pure-Python model call by call, so a failed call
can neither leak into a later result nor put the random stream out of step.
TOVALIB_HYPOTHESIS_PROFILE=long explores far more examples than the bounded, reproducible default.
"""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

import model
import tovalib
from conftest import EMPTY, i64

settings.register_profile("default", max_examples=400, deadline=None, derandomize=True, database=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=100_000, deadline=None, suppress_health_check=[HealthCheck.too_slow],
                          phases=list(Phase)[:-1])  # the explain phase alone can take minutes
PROFILE = settings.get_profile(os.environ.get("TOVALIB_HYPOTHESIS_PROFILE", "default"))

EXTREME = st.sampled_from([-2 ** 63, -2 ** 63 + 1, 2 ** 63 - 2, 2 ** 63 - 1])
INTS = st.integers(-3, 8) | EXTREME  # extremes make fan-outs huge and window thresholds wrap
DOCUMENTED = (RuntimeError, KeyError, IndexError, TypeError, ValueError, UnicodeError, BufferError)
BAD_KEYS = ["zz", ("a", "r0", "a"), 7, b"a__r0__a", "\ud800"]
BAD_ENTITIES = ["zz", b"\xff", "\ud800", None]
ODD_WINDOWS = [(0.5, 1), (None, 2.0), (0, 2 ** 63), (None, None), (1, 2, 3), (np.int32(1), True)]
REFUSED = [("node_types", b"\xff"), ("node_types", "\ud800"), ("edge_types", ("a", "r")), ("seed", 2 ** 31),
           ("seed", 1.0), ("node_time", None)]
MALFORMED = [  # refused, converted or never read, then read by value
    np.ndarray.tolist, lambda a: None, lambda a: 5, lambda a: np.array("x"), lambda a: a.reshape(1, -1),
    lambda a: a.astype(np.int32), lambda a: a.astype(np.uint64), lambda a: a.astype(float),
    lambda a: a.astype(object), lambda a: a[:0].astype(float),
    lambda a: a.astype(">i8"), lambda a: np.repeat(a, 2)[::2], lambda a: np.lib.stride_tricks.as_strided(a, writeable=False)]


def chance(draw):
    """A coin for faults, its odds drawn per graph and per request: clean examples reach deep into the hop
    loop, faulty ones exercise the checks and the exits. Hypothesis favours boundary values, which would make
    "rare" common; a plain random stream seeded by Hypothesis keeps the odds."""
    odds, rng = draw(st.sampled_from([0, 0.02, 0.05, 0.2])), draw(st.randoms(use_true_random=True))
    return lambda: rng.random() < odds


def malformed(draw, rarely, value):
    try:
        return draw(st.sampled_from(MALFORMED))(value) if isinstance(value, np.ndarray) and rarely() else value
    except (TypeError, ValueError, OverflowError):  # an object array (None, 2**63, a tuple) has no such form
        return value


def ids(rarely, size):
    return st.integers(-2, size + 1) | EXTREME if rarely() or not size else st.integers(0, size - 1)


def spoilt(draw, rarely, values):
    if rarely() and values:
        values.pop(draw(st.sampled_from(sorted(values, key=str))))
    if rarely():
        values[draw(st.sampled_from(BAD_KEYS))] = EMPTY
    return {key: malformed(draw, rarely, value) for key, value in values.items()}


@st.composite
def graphs(draw):
    """The graph with str names, the same graph as the module is given, and whether it may accept it."""
    rarely = chance(draw)
    names = draw(st.lists(st.sampled_from("abc"), min_size=0 if rarely() else 1, max_size=3, unique=not rarely()))
    sizes = {t: draw(st.integers(0 if rarely() else 1, 4)) for t in names}
    known = [*names, "z"] if rarely() or not names else names
    edge_types = [(draw(st.sampled_from(known)), f"r{i}", draw(st.sampled_from(known)))
                  for i in range(draw(st.integers(0 if rarely() else 1, 3)))]
    edge_types += edge_types[:1] if rarely() else []
    node_time = {t: i64(*draw(st.lists(INTS, min_size=sizes[t], max_size=sizes[t]))) for t in names
                 if draw(st.booleans())}
    colptr, row = {}, {}
    for src, rel, dst in edge_types:
        times, key = node_time.get(src, EMPTY), f"{src}__{rel}__{dst}"
        columns = [draw(st.lists(ids(rarely, sizes.get(src, 0)), min_size=0 if rarely() else 1, max_size=4))
                   for _ in range(sizes.get(dst, 0))]
        if not rarely():  # sorted by neighbour time, as the timed modes require
            columns = [sorted(c, key=lambda u: times[u] if 0 <= u < len(times) else 0) for c in columns]
        colptr[key] = np.cumsum([0] + [len(c) for c in columns])
        if rarely():  # decreasing, negative or huge offsets
            colptr[key][draw(st.integers(0, len(columns)))] = draw(INTS)
        row[key] = i64(*(u for c in columns for u in c))
    graph = dict(node_types=names, edge_types=edge_types, colptr=spoilt(draw, rarely, colptr),
                 row=spoilt(draw, rarely, row), node_time=spoilt(draw, rarely, node_time),
                 seed=draw(st.integers(-2 ** 31, 2 ** 31 - 1)))
    as_given = dict(graph, node_types=[t.encode() if rarely() else t for t in names],  # equivalent spellings
                    edge_types=[list(e) if rarely() else e for e in edge_types])
    if rarely():
        as_given["node_time"] = list(graph["node_time"].items())
    refused = draw(st.sampled_from(REFUSED)) if rarely() else None
    if refused:
        name, value = refused
        as_given[name] = [*as_given[name], value] if name.endswith("types") else value
    return graph, as_given, refused is None, sizes


def windows(draw, rarely, hops):
    rows = draw(st.lists(st.tuples(st.none() | INTS, INTS), min_size=hops, max_size=hops))
    if rarely():
        rows.insert(draw(st.integers(0, hops)), draw(st.sampled_from(ODD_WINDOWS)))
        return rows if rarely() else np.array(rows, dtype=object)
    if any(lower is None for lower, _ in rows):
        return np.array(rows, dtype=object).reshape(-1, 2)
    return i64(*(bound for r in rows for bound in r)).reshape(-1, 2)


@st.composite
def requests(draw, graph, sizes):
    rarely = chance(draw)
    hops = draw(st.integers(0 if rarely() else 1, 3))
    num_neighbors, offsets = {}, {}
    for src, rel, dst in graph["edge_types"]:
        use = "window" if src in graph["node_time"] and draw(st.booleans()) else "fan"
        use = draw(st.sampled_from(["both", "neither", "window"])) if rarely() else use
        length, key = draw(st.integers(0, 4)) if rarely() else hops, f"{src}__{rel}__{dst}"
        if use in ("fan", "both"):
            num_neighbors[key] = i64(*draw(st.lists(INTS, min_size=length, max_size=length)))
        if use in ("window", "both"):
            offsets[key] = windows(draw, rarely, length)
    entity = draw(st.sampled_from([dst for _, _, dst in graph["edge_types"]] or graph["node_types"] or ["z"]))
    seeds = draw(st.lists(ids(rarely, sizes.get(entity, 0)), min_size=0 if rarely() else 1, max_size=4))
    if rarely():
        entity = draw(st.sampled_from([entity.encode(), bytearray(entity.encode()), *BAD_ENTITIES]))
    times = draw(st.lists(INTS, min_size=len(seeds), max_size=len(seeds))) if draw(st.booleans()) else []
    times = times[:-1] if rarely() else [*times, 1] if rarely() else times
    return dict(num_neighbors=spoilt(draw, rarely, num_neighbors), sampling_time_offsets=spoilt(draw, rarely, offsets),
                entity_table=entity, seed_node=malformed(draw, rarely, i64(*seeds)),
                seed_time=malformed(draw, rarely, i64(*times)))


def outcome(function, **arguments):
    try:
        return function(**arguments)
    except DOCUMENTED as error:
        assert error.args, f"{type(error).__name__} without a message"
        return error


def assert_same_outcome(actual, expected):
    if isinstance(expected, Exception) or isinstance(actual, Exception):
        assert type(actual) is type(expected), (actual, expected)
        if type(actual) is TypeError:  # the binding's text goes on to list the accepted signatures
            assert str(actual).startswith(str(expected))
        else:
            assert actual.args == expected.args
        return
    assert [[(k, v.tolist()) for k, v in part.items()] for part in actual] == \
        [[(k, v.tolist()) for k, v in part.items()] for part in expected]


def assert_well_formed(graph, request, result):
    node_types, ends = list(dict.fromkeys(graph["node_types"])), {}
    for src, rel, dst in graph["edge_types"]:
        ends.setdefault(f"{src}__{rel}__{dst}", []).append((src, dst))
    assert type(result) is tuple and [list(part) for part in result] == [[*ends]] * 2 + [node_types] * 3 + [[*ends]]
    for array in (array for part in result for array in part.values()):
        assert type(array) is np.ndarray and array.dtype == np.int64 and array.ndim == 1 and array.flags.owndata
    rows, cols, node, batch, num_nodes, num_edges = result
    hops = max([np.size(v) for v in request["num_neighbors"].values()]
               + [len(v) for v in request["sampling_time_offsets"].values()], default=0)
    seeds, entity = request["seed_node"].tolist(), request["entity_table"]
    entity = entity if isinstance(entity, str) else entity.decode()
    assert node[entity][:len(seeds)].tolist() == seeds and batch[entity][:len(seeds)].tolist() == [*range(len(seeds))]
    for t in node_types:
        assert len(num_nodes[t]) == hops + 1 and num_nodes[t].sum() == len(node[t]) == len(batch[t])
        assert ((0 <= batch[t]) & (batch[t] < len(seeds))).all()
    for key, pairs in ends.items():
        assert len(num_edges[key]) == hops and num_edges[key].sum() == len(rows[key]) == len(cols[key])
        for src, dst in pairs:
            assert ((0 <= rows[key]) & (rows[key] < len(node[src]))).all()
            assert ((0 <= cols[key]) & (cols[key] < len(node[dst]))).all()
            assert (batch[src][rows[key]] == batch[dst][cols[key]]).all()  # an edge stays inside one subgraph


@PROFILE
@given(data=st.data())
def test_hostile_call_sequences_fail_cleanly_and_match_the_model(data):
    graph, as_given, acceptable, sizes = data.draw(graphs())
    module = outcome(tovalib.NeighborSampler, **as_given)
    if not acceptable:
        assert isinstance(module, Exception)
        return
    reference = outcome(model.ModelSampler, **graph)
    if isinstance(module, Exception) or isinstance(reference, Exception):
        assert_same_outcome(module, reference)
        return
    for _ in range(data.draw(st.integers(1, 4))):
        request = data.draw(requests(graph, sizes))
        result = outcome(module.sample, **request)
        assert_same_outcome(result, outcome(reference.sample, **request))
        if not isinstance(result, Exception):
            assert_well_formed(graph, request, result)


# Faults the fuzzer found, as fixed cases. A repeated name makes the hop loop expand an edge type twice per
# hop, or move a node type's frontier twice (dropping the nodes just added), so counts no longer match hops;
# a key shared by two different edge types would mix local indices of two node types in one array.
CHAIN = "p__c__p"  # p1 -> p0, p2 -> p1, p0 -> p2


@pytest.mark.parametrize("node_types, edge_types", [
    (["p", "p"], [("p", "c", "p")]), ([b"p", "p"], [("p", "c", "p")]), (["p"], [("p", "c", "p")] * 2)])
def test_a_repeated_type_acts_once(node_types, edge_types):
    graph = dict(colptr={CHAIN: i64(0, 1, 2, 3)}, row={CHAIN: i64(1, 2, 0)}, node_time={})
    request = ({CHAIN: i64(-1, -1, -1)}, {}, "p", i64(0), EMPTY)
    sampler = tovalib.NeighborSampler(node_types, edge_types, **graph)
    once = tovalib.NeighborSampler(["p"], [("p", "c", "p")], **graph)
    assert_same_outcome(sampler.sample(*request), once.sample(*request))


def test_edge_types_sharing_a_key_are_refused():
    shared = "a__r__x__b"
    with pytest.raises(RuntimeError) as error:
        tovalib.NeighborSampler(["a", "a__r", "b"], [("a", "r__x", "b"), ("a__r", "x", "b")],
                                {shared: i64(0, 1)}, {shared: i64(0)}, {})
    assert error.value.args == (
        "Edge types ('a', 'r__x', 'b') and ('a__r', 'x', 'b') share the key 'a__r__x__b'.",)
