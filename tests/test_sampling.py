"""NeighborSampler.sample on graphs small enough to check every expected value by hand."""

import itertools

import numpy as np
import pytest

import tovalib
from conftest import CITES, EMPTY, REV_WRITES, WRITES, i64, tiny_graph

EDGE_KEYS, NODE_TYPES = [CITES, WRITES, REV_WRITES], ["paper", "author"]
STAR = "q__to__p"
UNSORTED = "Found invalid non-sorted temporal neighborhood"
ALREADY_SAMPLING = "sample() called on a NeighborSampler that is already sampling."


def fan(cites=(), writes=(), rev=()):
    return {CITES: i64(*cites), WRITES: i64(*writes), REV_WRITES: i64(*rev)}


def windows(*rows):
    return np.array(rows, dtype=object).reshape(-1, 2)


def star(sizes, q_times=None):
    """Node p<v> has the column q0, q1, ..., q<sizes[v]-1>, so a neighbour's id is its offset."""
    row = i64(*(u for size in sizes for u in range(size)))
    node_time = {} if q_times is None else {"p": i64(*[0] * len(sizes)), "q": i64(*q_times)}
    return tovalib.NeighborSampler(["p", "q"], [("q", "to", "p")], {STAR: i64(0, *np.cumsum(sizes))},
                                   {STAR: row}, node_time)


def star_pick(q_times, seed_time, num_neighbors=None, sampling_time_offsets=None):
    result = star([len(q_times)], q_times).sample(num_neighbors or {}, sampling_time_offsets or {},
                                                  "p", i64(0), i64(seed_time))
    return result[2]["q"].tolist()


def as_lists(result):
    return tuple({key: array.tolist() for key, array in part.items()} for part in result)


def assert_same(actual, expected):
    for got, want in zip(actual, expected, strict=True):
        assert list(got) == list(want)
        for key in want:
            assert got[key].dtype == np.int64 and got[key].tolist() == want[key].tolist(), key


def request(**changes):
    return {"num_neighbors": fan((2,), (2,), (2,)), "sampling_time_offsets": {},
            "entity_table": "paper", "seed_node": i64(5), "seed_time": EMPTY, **changes}


CHECKS = [  # in the order the checks run; a case also carries every later fault
    (lambda r: r["num_neighbors"].update({CITES: np.array([2], np.int32)}), RuntimeError,
     "Type 'paper__cites__paper' in num_neighbors must have dtype int64."),
    (lambda r: r["sampling_time_offsets"].update({"paper__cites": np.zeros((1, 2), np.int64)}),
     RuntimeError, "Invalid type 'paper__cites' found in sampling_time_offsets."),
    (lambda r: r.update(seed_node=np.zeros((1, 1), np.int64)), RuntimeError, "seed_node is not 1D."),
    (lambda r: r.update(seed_time=np.array([1.0, 2.0])), RuntimeError, "seed_time must have dtype int64."),
    (lambda r: r.update(entity_table="Paper"), RuntimeError, "Invalid entity table 'Paper'."),
    # bytes that are not UTF-8 are quoted escaped, not lost in an empty RuntimeError
    (lambda r: r.update(entity_table=b"pap\xff"), RuntimeError, "Invalid entity table 'pap\\xff'."),
    (lambda r: r.update(seed_time=i64(1, 2)), RuntimeError, "'seed_node' and 'seed_time' size mismatch."),
    (lambda r: r["sampling_time_offsets"].update({CITES: np.zeros((1, 2), np.int64)}), RuntimeError,
     "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. "
     "'paper__cites__paper' appears in both."),
    (lambda r: r["num_neighbors"].pop(WRITES), KeyError, WRITES),
    (lambda r: (r["num_neighbors"].pop(REV_WRITES),
                r["sampling_time_offsets"].update({REV_WRITES: np.zeros((1, 3), np.int64)})),
     RuntimeError, "'sampling_time_offsets' at 'paper__rev_writes__author' does not have shape (N, 2)."),
]


@pytest.mark.parametrize("position", range(len(CHECKS)))
def test_request_checks_report_the_first_fault_in_their_fixed_order(make_sampler, position):
    req = request()
    for fault, _, _ in reversed(CHECKS[position:]):  # earlier faults win where they share an argument
        fault(req)
    _, kind, message = CHECKS[position]
    with pytest.raises(kind) as error:
        make_sampler().sample(**req)
    assert error.value.args == (message,)


@pytest.mark.parametrize("graph_changes, num_neighbors, offsets, kind, message", [
    # an empty, misshapen window over a type without times fails on the times first
    (dict(node_time={"paper": tiny_graph()["node_time"]["paper"]}), {CITES: EMPTY, REV_WRITES: EMPTY},
     {WRITES: np.zeros((0, 3), np.int64)}, RuntimeError,
     "'sampling_time_offsets' contains 'author__writes__paper' but author is not included in "
     "'node_time'."),
    # the first offending edge type in sampler order decides, whatever its fault
    ({}, {CITES: i64(1), REV_WRITES: EMPTY}, {REV_WRITES: windows()}, KeyError, WRITES),
    ({}, fan(), {CITES: windows()}, RuntimeError,
     "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. "
     "'paper__cites__paper' appears in both."),
    ({}, {}, {}, KeyError, CITES),
])
def test_per_edge_type_request_rules(make_sampler, graph_changes, num_neighbors, offsets, kind, message):
    with pytest.raises(kind) as error:
        make_sampler(**graph_changes).sample(num_neighbors, offsets, "paper", i64(1), EMPTY)
    assert error.value.args == (message,)


def test_random_stream_is_pinned_to_the_seed():
    sampler = star([10, 5])
    first = sampler.sample({STAR: i64(3)}, {}, "p", i64(0), EMPTY)
    second = sampler.sample({STAR: i64(2)}, {}, "p", i64(1), EMPTY)
    assert (first[2]["q"].tolist(), second[2]["q"].tolist()) == ([6, 1, 2], [2, 0])


@pytest.mark.parametrize("seed_time, k, expected", [
    (3, 2, [1, 2]), (3, 10, [0, 1, 2]), (0, 2, []), (3, -1, [0, 1, 2]), (5, 1, [3]), (5, 0, [])])
def test_timed_fan_out_takes_the_latest_neighbours_not_after_the_seed_time(seed_time, k, expected):
    assert star_pick([1, 2, 3, 5], seed_time, num_neighbors={STAR: i64(k)}) == expected


# Only the first and the last neighbour not after the seed time are compared, before the cut to k.
@pytest.mark.parametrize("q_times, seed_time, rule, expected", [
    ([5, 1, 7], 6, {"num_neighbors": {STAR: i64(1)}}, UNSORTED),
    ([5, 1, 7], 6, {"num_neighbors": {STAR: i64(-1)}}, UNSORTED),
    ([5, 1, 7], 6, {"sampling_time_offsets": {STAR: windows((None, 0))}}, UNSORTED),
    ([1, 9, 2, 3], 5, {"num_neighbors": {STAR: i64(-1)}}, [0, 1, 2, 3]),
    ([1, 9, 2, 3], 5, {"sampling_time_offsets": {STAR: windows((None, 0))}}, [0, 1, 2, 3]),
])
def test_sortedness_test_compares_end_points(q_times, seed_time, rule, expected):
    if expected == UNSORTED:
        with pytest.raises(RuntimeError) as error:
            star_pick(q_times, seed_time, **rule)
        assert error.value.args == (UNSORTED,)
    else:
        assert star_pick(q_times, seed_time, **rule) == expected


@pytest.mark.parametrize("window, expected", [
    ((-2, 0), [1, 2]),  # time 1 sits on the open lower end, time 3 on the closed upper end
    ((None, 0), [0, 1, 2]), ((None, -3), []), ((0, 2), [3]), ((-1, -1), []), ((-3, 2), [0, 1, 2, 3])])
def test_time_window_bounds(window, expected):
    array = windows(window) if None in window else i64(*window).reshape(1, 2)
    assert star_pick([1, 2, 3, 5], 3, sampling_time_offsets={STAR: array}) == expected


def by_type(rows, cols, node, batch, num_nodes, num_edges):
    """A result tuple from values listed in the constructor's order of types."""
    per_edge = [dict(zip(EDGE_KEYS, values)) for values in (rows, cols, num_edges)]
    per_node = [dict(zip(NODE_TYPES, values)) for values in (node, batch, num_nodes)]
    return per_edge[0], per_edge[1], *per_node, per_edge[2]


@pytest.mark.parametrize("graph_changes, num_neighbors, seeds, seed_time, expected", [
    # Seed 1 (time 25) reaches fewer papers than seed 0 (time 40), and no paper back from author 2.
    pytest.param({}, fan((2, 1), (1, 0), (-1, -1)), (3, 3), (40, 25), by_type(
        ([2, 3, 4, 5, 6, 2, 4], [0, 1], [0]), ([0, 0, 1, 1, 2, 3, 5], [0, 1], [0]),
        ([3, 3, 1, 2, 0, 1, 0], [2, 2]), ([0, 1, 0, 0, 1, 1, 0], [0, 1]), ([2, 4, 1], [0, 2, 0]),
        ([4, 3], [2, 0], [0, 1])), id="timed"),
    # Paper 1, added at hop 0, is expanded at hop 1 only; paper 0 found again keeps its index.
    pytest.param(dict(node_time={}), fan((-1, -1)), (2,), (), by_type(
        ([1, 2, 1], [], []), ([0, 0, 2], [], []), ([2, 0, 1], []), ([0, 0, 0], []), ([1, 2, 0], [0, 0, 0]),
        ([2, 1], [0, 0], [0, 0])), id="self-relation"),
    # Each copy of paper 3 reaches author 2 and, through it, papers 3, 4 and 5 of its own.
    pytest.param(dict(node_time={}), fan((0, 0), (-1, 0), (0, -1)), (3, 3), (), by_type(
        ([], [0, 1], [0, 2, 3, 1, 4, 5]), ([], [0, 1], [0, 0, 0, 1, 1, 1]), ([3, 3, 4, 5, 4, 5], [2, 2]),
        ([0, 1, 0, 0, 1, 1], [0, 1]), ([2, 0, 4], [0, 2, 0]), ([0, 0], [2, 0], [0, 6])),
        id="duplicate seeds"),
    pytest.param({}, fan(), (4, 1), (), by_type(
        ([], [], []), ([], [], []), ([4, 1], []), ([0, 1], []), ([2], [0]), ([], [], [])), id="no hops"),
    # The deviation: no fan-out is read for CITES at hop 1, so paper 1 does not reach paper 0.
    pytest.param({}, fan((-1,), (0, -1)), (2,), (), by_type(
        ([1, 2], [0, 1], []), ([0, 0], [1, 2], []), ([2, 0, 1], [0, 1]), ([0, 0, 0], [0, 0]),
        ([1, 2, 0], [0, 0, 2]), ([2, 0], [0, 2], [0, 0])), id="fan-out list shorter than the hop count"),
])
def test_hand_checked_results(make_sampler, graph_changes, num_neighbors, seeds, seed_time, expected):
    result = make_sampler(**graph_changes).sample(num_neighbors, {}, "paper", i64(*seeds), i64(*seed_time))
    assert as_lists(result) == expected


def test_result_invariants(graph):
    graph["node_time"] = {}
    sampler = tovalib.NeighborSampler(**graph)
    seeds, ends = i64(5, 4, 5, 0), {CITES: ("paper", "paper"), WRITES: ("author", "paper"),
                                    REV_WRITES: ("paper", "author")}
    results = [sampler.sample(fan((2, 2, 1), (1, -1, 1), (2, 2, 2)), {}, "paper", seeds, EMPTY)
               for _ in range(2)]
    for rows, cols, node, batch, num_nodes, num_edges in results:
        assert [list(part) for part in (rows, cols, num_edges)] == [EDGE_KEYS] * 3
        assert [list(part) for part in (node, batch, num_nodes)] == [NODE_TYPES] * 3
        assert num_nodes["paper"][0] == 4 and num_nodes["author"][0] == 0
        for part in (rows, cols, node, batch, num_nodes, num_edges):
            assert all(array.dtype == np.int64 and array.ndim == 1 for array in part.values())
        for node_type in node:
            assert len(num_nodes[node_type]) == 4
            assert len(node[node_type]) == len(batch[node_type]) == num_nodes[node_type].sum()
            assert set(batch[node_type]) <= set(range(4))
        for key, (src, dst) in ends.items():
            assert len(num_edges[key]) == 3 and len(rows[key]) == len(cols[key]) == num_edges[key].sum()
            assert all(0 <= rows[key]) and all(rows[key] < len(node[src]))
            assert all(0 <= cols[key]) and all(cols[key] < len(node[dst]))
            # an edge joins two nodes of one seed, exists in the graph and is not drawn twice
            assert (batch[src][rows[key]] == batch[dst][cols[key]]).all()
            for u, v in zip(node[src][rows[key]], node[dst][cols[key]]):
                assert u in graph["row"][key][graph["colptr"][key][v]:graph["colptr"][key][v + 1]]
            assert len(set(zip(rows[key].tolist(), cols[key].tolist()))) == len(rows[key])
    inputs = [seeds, *graph["colptr"].values(), *graph["row"].values()]
    arrays = inputs + [array for result in results for part in result for array in part.values()]
    for first, second in itertools.combinations(arrays, 2):
        assert not np.shares_memory(first, second)


def test_results_are_independent_of_each_other(make_sampler):
    sampler, twin = make_sampler(node_time={}), make_sampler(node_time={})
    req = (fan((2, 1), (1, 1), (2, 1)), {}, "paper", i64(5, 4), EMPTY)
    first = sampler.sample(*req)
    snapshot = as_lists(first)
    second = sampler.sample(*req)
    assert as_lists(first) == snapshot
    for array in (array for result in (first, second) for part in result for array in part.values()):
        array.fill(1)
    for _ in range(2):
        twin.sample(*req)
    assert_same(sampler.sample(*req), twin.sample(*req))


CAST_ERROR = "^Unable to cast Python instance of type "


@pytest.mark.parametrize("offsets, kind, match", [
    (windows((None, 0)), IndexError, "index 1 is out of bounds"),  # one row for two hops
    (np.array([[0.0, 1.0], [0.0, 1.0]]), RuntimeError, CAST_ERROR),
    (windows((None, 0), (0.0, 1)), RuntimeError, CAST_ERROR),
    (windows((None, 0), (None, 1.5)), RuntimeError, CAST_ERROR),
])
def test_window_failures_end_the_call_and_leave_nothing_behind(make_sampler, offsets, kind, match):
    sampler = make_sampler()
    with pytest.raises(kind, match=match):
        sampler.sample({WRITES: i64(-1, -1), REV_WRITES: i64(-1, -1)}, {CITES: offsets}, "paper",
                       i64(5, 4), EMPTY)
    assert_same(sampler.sample(**request()), make_sampler().sample(**request()))


# Ids outside an array are refused where they are read, and only there.
# Column p1 of CITES becomes [9] and column p2 becomes [0, -1].
BAD_ROW = {**tiny_graph()["row"], CITES: i64(9, 0, -1, *tiny_graph()["row"][CITES][3:])}
COLPTR = "Node {} of type 'paper' is out of range for 'colptr' at 'paper__cites__paper' (size 7)."
NODE_TIME = "Node {} of type 'paper' is out of range for 'node_time' (size 6)."
SPAN = "Neighbourhood of node {} at 'paper__cites__paper' spans {} to {}, outside 'row' (size 15)."


def untimed_with_cites_colptr(*colptr):
    return dict(node_time={}, colptr={**tiny_graph()["colptr"], CITES: i64(*colptr)})


@pytest.mark.parametrize("graph_changes, seeds, seed_time, hops, message", [
    (dict(node_time={}), 6, (), 1, COLPTR.format(6)),
    (dict(node_time={}), -1, (), 1, COLPTR.format(-1)),
    (dict(node_time={}), 1, (), 2, COLPTR.format(9)),  # reached through row, expanded at hop 1
    ({}, 6, (), 0, NODE_TIME.format(6)),  # a seed's own time, gathered even without hops
    ({}, 1, (100,), 1, NODE_TIME.format(9)),
    ({}, 2, (100,), 1, NODE_TIME.format(-1)),
    (untimed_with_cites_colptr(0, 0, 1, 3, 6, 10, 16), 5, (), 1, SPAN.format(5, 10, 16)),
    (untimed_with_cites_colptr(0, 0, 1, 3, 6, 10, 9), 5, (), 1, SPAN.format(5, 10, 9)),
    (untimed_with_cites_colptr(0, -1, 1, 3, 6, 10, 15), 1, (), 1, SPAN.format(1, -1, 1)),
])
def test_ids_outside_an_array_raise_index_error(make_sampler, graph_changes, seeds, seed_time, hops,
                                                message):
    sampler = make_sampler(**{"row": BAD_ROW, **graph_changes})
    with pytest.raises(IndexError) as error:
        sampler.sample(fan([-1] * hops), {}, "paper", i64(seeds), i64(*seed_time))
    assert error.value.args == (message,)


@pytest.mark.parametrize("graph_changes, seed_time", [(dict(node_time={}), ()), ({}, (60,))])
def test_ids_that_are_never_read_are_not_checked(make_sampler, graph_changes, seed_time):
    result = make_sampler(**graph_changes).sample(fan((0,), (0,), (0,)), {}, "paper", i64(6),
                                                  i64(*seed_time))
    assert (result[2]["paper"].tolist(), result[5][CITES].tolist()) == ([6], [0])


class NestedCallBound:
    """A window bound whose conversion runs a sample call on some sampler."""

    def __init__(self, value, sampler):
        self.value, self.sampler, self.outcomes = value, sampler, []

    def __index__(self):
        try:
            self.outcomes.append(self.sampler.sample(**request()))
        except RuntimeError as error:  # kept for the test: raising here would only show a cast error
            self.outcomes.append(error)
        return self.value


@pytest.mark.parametrize("same_sampler", [True, False])
def test_nested_sample_calls(make_sampler, same_sampler):
    sampler = make_sampler()
    bound = NestedCallBound(0, sampler if same_sampler else make_sampler())
    num_neighbors = {CITES: i64(-1, 0), WRITES: i64(-1, 0)}
    # Fires after hop 0 of CITES and WRITES has recorded edges, so a reset would show.
    outer = sampler.sample(num_neighbors, {REV_WRITES: windows((None, bound), (None, bound))}, "paper",
                           i64(3), EMPTY)
    plain = make_sampler().sample(num_neighbors, {REV_WRITES: windows((None, 0), (None, 0))}, "paper",
                                  i64(3), EMPTY)
    assert_same(outer, plain)
    assert len(bound.outcomes) == 2
    for outcome in bound.outcomes:
        if same_sampler:
            assert isinstance(outcome, RuntimeError) and outcome.args == (ALREADY_SAMPLING,)
        else:
            assert_same(outcome, make_sampler().sample(**request()))
    assert_same(sampler.sample(**request()), make_sampler().sample(**request()))


@pytest.mark.parametrize("layout", [
    lambda a: np.stack([a, np.full_like(a, -9)], axis=1)[:, 0],  # every other element is junk
    lambda a: np.ascontiguousarray(a[::-1])[::-1],
    lambda a: a.astype(">i8"),
    lambda a: np.frombuffer(a.tobytes(), dtype=np.int64),  # read-only
], ids=["strided", "reversed", "big-endian", "read-only"])
def test_arrays_are_read_by_logical_value(make_sampler, layout):
    num_neighbors, seeds, times = fan((2, 1), (1, 0), (-1, 2)), i64(5, 3, 4), i64(60, 25, 50)
    expected = make_sampler().sample(num_neighbors, {}, "paper", seeds, times)
    result = make_sampler().sample({key: layout(value) for key, value in num_neighbors.items()}, {},
                                   "paper", layout(seeds), layout(times))
    assert_same(result, expected)
