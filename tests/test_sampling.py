"""NeighborSampler.sample on graphs small enough to check every expected value by hand."""

from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import messages as msg
import tovalib
from conftest import (
    CITES,
    EDGE_KEYS,
    EMPTY,
    FORMS,
    REV_WRITES,
    STAR,
    WRITES,
    Index,
    as_lists,
    assert_same_outcome,
    assert_well_formed,
    cases,
    i64,
    lend,
    outcome,
    star_graph,
    tiny_graph,
    windows,
)


def fan(cites=(), writes=(), rev=()):
    return {CITES: i64(*cites), WRITES: i64(*writes), REV_WRITES: i64(*rev)}


def star(sizes, q_times=None):
    """Node p<v> has the column q0, q1, ..., q<sizes[v]-1>, so a neighbour's id is its offset."""
    node_time = None if q_times is None else {"p": i64(*[0] * len(sizes)), "q": i64(*q_times)}
    return tovalib.NeighborSampler(
        **star_graph(*(np.arange(size) for size in sizes), node_time=node_time)
    )


def star_pick(q_times, seed_time, num_neighbors=None, sampling_time_offsets=None):
    result = star([len(q_times)], q_times).sample(
        num_neighbors or {}, sampling_time_offsets or {}, "p", i64(0), i64(seed_time)
    )
    return result[2]["q"].tolist()


def request(**changes):
    return {
        "num_neighbors": fan((2,), (2,), (2,)),
        "sampling_time_offsets": {},
        "entity_table": "paper",
        "seed_node": i64(5),
        "seed_time": EMPTY,
        **changes,
    }


CHECKS = [  # in the order the checks run; a case also carries every later fault
    dict(
        fault=lambda r: r["num_neighbors"].update({CITES: np.array([2], np.int32)}),
        error=RuntimeError(msg.entry_not_int64(key=CITES, name="num_neighbors")),
    ),
    dict(
        fault=lambda r: r["sampling_time_offsets"].update(
            {"paper__cites": np.zeros((1, 2), np.int64)}
        ),
        error=RuntimeError(msg.invalid_type(key="paper__cites", name="sampling_time_offsets")),
    ),
    dict(
        fault=lambda r: r.update(seed_node=np.zeros((1, 1), np.int64)),
        error=RuntimeError(msg.array_not_nd(name="seed_node", ndim=1)),
    ),
    dict(
        fault=lambda r: r.update(seed_time=np.array([1.0, 2.0])),
        error=RuntimeError(msg.array_not_int64(name="seed_time")),
    ),
    dict(
        fault=lambda r: r.update(entity_table="Paper"),
        error=RuntimeError(msg.invalid_entity(entity="Paper")),
    ),
    # bytes that are not UTF-8 are quoted escaped, not lost in an empty RuntimeError
    dict(
        fault=lambda r: r.update(entity_table=b"pap\xff"),
        error=RuntimeError(msg.invalid_entity(entity="pap\\xff")),
    ),
    dict(fault=lambda r: r.update(seed_time=i64(1, 2)), error=RuntimeError(msg.SIZE_MISMATCH)),
    dict(
        fault=lambda r: r["sampling_time_offsets"].update({CITES: np.zeros((1, 2), np.int64)}),
        error=RuntimeError(msg.in_both(key=CITES)),
    ),
    dict(fault=lambda r: r["num_neighbors"].pop(WRITES), error=KeyError(WRITES)),
    dict(
        fault=lambda r: (
            r["num_neighbors"].pop(REV_WRITES),
            r["sampling_time_offsets"].update({REV_WRITES: np.zeros((1, 3), np.int64)}),
        ),
        error=RuntimeError(msg.window_shape(key=REV_WRITES)),
    ),
]


@pytest.mark.parametrize("position", range(len(CHECKS)))
def test_request_checks_report_the_first_fault_in_their_fixed_order(make_sampler, position):
    req = request()
    for check in reversed(CHECKS[position:]):  # earlier faults win where they share an argument
        check["fault"](req)
    error = CHECKS[position]["error"]
    with pytest.raises(type(error)) as raised:
        make_sampler().sample(**req)
    assert raised.value.args == error.args


@cases(
    # an empty, misshapen window over a type without times fails on the times first
    dict(
        id="untimed-source-before-shape",
        graph_changes=dict(node_time={"paper": tiny_graph()["node_time"]["paper"]}),
        num_neighbors={CITES: EMPTY, REV_WRITES: EMPTY},
        offsets={WRITES: np.zeros((0, 3), np.int64)},
        error=RuntimeError(msg.window_untimed(key=WRITES, node_type="author")),
    ),
    # the first offending edge type in sampler order decides, whatever its fault
    dict(
        id="missing-rule-first",
        num_neighbors={CITES: i64(1), REV_WRITES: EMPTY},
        offsets={REV_WRITES: windows()},
        error=KeyError(WRITES),
    ),
    dict(
        id="both-rules-first",
        num_neighbors=fan(),
        offsets={CITES: windows()},
        error=RuntimeError(msg.in_both(key=CITES)),
    ),
    dict(id="no-rules", num_neighbors={}, offsets={}, error=KeyError(CITES)),
    graph_changes={},
)
def test_per_edge_type_request_rules(make_sampler, graph_changes, num_neighbors, offsets, error):
    with pytest.raises(type(error)) as raised:
        make_sampler(**graph_changes).sample(num_neighbors, offsets, "paper", i64(1), EMPTY)
    assert raised.value.args == error.args


def test_random_stream_is_pinned_to_the_seed():
    sampler = star([10, 5])
    first = sampler.sample({STAR: i64(3)}, {}, "p", i64(0), EMPTY)
    second = sampler.sample({STAR: i64(2)}, {}, "p", i64(1), EMPTY)
    assert (first[2]["q"].tolist(), second[2]["q"].tolist()) == ([6, 1, 2], [2, 0])


# Neighbours q0..q3 at times 1, 2, 3, 5.
@cases(
    dict(id="latest-two", seed_time=3, k=2, expected=[1, 2]),
    dict(id="k-beyond-degree", seed_time=3, k=10, expected=[0, 1, 2]),
    dict(id="none-before", seed_time=0, k=2, expected=[]),
    dict(id="k-negative-takes-all", seed_time=3, k=-1, expected=[0, 1, 2]),
    dict(id="latest-one", seed_time=5, k=1, expected=[3]),
    dict(id="k-zero", seed_time=5, k=0, expected=[]),
)
def test_timed_fan_out_takes_the_latest_neighbours_not_after_the_seed_time(seed_time, k, expected):
    assert star_pick([1, 2, 3, 5], seed_time, num_neighbors={STAR: i64(k)}) == expected


# Only the first and the last neighbour not after the seed time are compared, before the cut to k.
@cases(
    dict(
        id="fan-out-1",
        q_times=[5, 1, 7],
        rule={"num_neighbors": {STAR: i64(1)}},
        expected=msg.UNSORTED,
    ),
    dict(
        id="fan-out-all",
        q_times=[5, 1, 7],
        rule={"num_neighbors": {STAR: i64(-1)}},
        expected=msg.UNSORTED,
    ),
    dict(
        id="window",
        q_times=[5, 1, 7],
        rule={"sampling_time_offsets": {STAR: windows((None, 0))}},
        expected=msg.UNSORTED,
    ),
    dict(
        id="ends-sorted-fan-out",
        q_times=[1, 9, 2, 3],
        seed_time=5,
        rule={"num_neighbors": {STAR: i64(-1)}},
        expected=[0, 1, 2, 3],
    ),
    dict(
        id="ends-sorted-window",
        q_times=[1, 9, 2, 3],
        seed_time=5,
        rule={"sampling_time_offsets": {STAR: windows((None, 0))}},
        expected=[0, 1, 2, 3],
    ),
    seed_time=6,
)
def test_sortedness_test_compares_end_points(q_times, seed_time, rule, expected):
    if expected == msg.UNSORTED:
        with pytest.raises(RuntimeError) as error:
            star_pick(q_times, seed_time, **rule)
        assert error.value.args == (msg.UNSORTED,)
    else:
        assert star_pick(q_times, seed_time, **rule) == expected


# Neighbours q0..q3 at times 1, 2, 3, 5; the seed at time 3.
@cases(
    # time 1 sits on the open lower end, time 3 on the closed upper end
    dict(id="open-lower-closed-upper", window=(-2, 0), expected=[1, 2]),
    dict(id="no-lower", window=(None, 0), expected=[0, 1, 2]),
    dict(id="no-lower-before-all", window=(None, -3), expected=[]),
    dict(id="future", window=(0, 2), expected=[3]),
    dict(id="empty", window=(-1, -1), expected=[]),
    dict(id="all", window=(-3, 2), expected=[0, 1, 2, 3]),
)
def test_time_window_bounds(window, expected):
    array = windows(window) if None in window else i64(*window).reshape(1, 2)
    assert star_pick([1, 2, 3, 5], 3, sampling_time_offsets={STAR: array}) == expected


def subgraph(paper, author, cites, writes, rev_writes):
    """A result as `as_lists` gives it, from what each type holds."""
    nodes, edges = (
        {"paper": paper, "author": author},
        dict(zip(EDGE_KEYS, (cites, writes, rev_writes), strict=True)),
    )
    return {
        "sampled_row": {k: e["row"] for k, e in edges.items()},
        "sampled_col": {k: e["col"] for k, e in edges.items()},
        "node": {t: n["node"] for t, n in nodes.items()},
        "batch": {t: n["batch"] for t, n in nodes.items()},
        "num_sampled_nodes": {t: n["per_hop"] for t, n in nodes.items()},
        "num_sampled_edges": {k: e["per_hop"] for k, e in edges.items()},
    }


@cases(
    # Seed 1 (time 25) reaches fewer papers than seed 0 (time 40), and no paper back from author 2.
    dict(
        id="timed",
        num_neighbors=fan((2, 1), (1, 0), (-1, -1)),
        seeds=(3, 3),
        seed_time=(40, 25),
        expected=subgraph(
            paper=dict(node=[3, 3, 1, 2, 0, 1, 0], batch=[0, 1, 0, 0, 1, 1, 0], per_hop=[2, 4, 1]),
            author=dict(node=[2, 2], batch=[0, 1], per_hop=[0, 2, 0]),
            cites=dict(row=[2, 3, 4, 5, 6, 2, 4], col=[0, 0, 1, 1, 2, 3, 5], per_hop=[4, 3]),
            writes=dict(row=[0, 1], col=[0, 1], per_hop=[2, 0]),
            rev_writes=dict(row=[0], col=[0], per_hop=[0, 1]),
        ),
    ),
    # Paper 1, added at hop 0, is expanded at hop 1 only; paper 0 found again keeps its index.
    dict(
        id="self-relation",
        graph_changes=dict(node_time={}),
        num_neighbors=fan((-1, -1)),
        seeds=(2,),
        expected=subgraph(
            paper=dict(node=[2, 0, 1], batch=[0, 0, 0], per_hop=[1, 2, 0]),
            author=dict(node=[], batch=[], per_hop=[0, 0, 0]),
            cites=dict(row=[1, 2, 1], col=[0, 0, 2], per_hop=[2, 1]),
            writes=dict(row=[], col=[], per_hop=[0, 0]),
            rev_writes=dict(row=[], col=[], per_hop=[0, 0]),
        ),
    ),
    # Each copy of paper 3 reaches author 2 and, through it, papers 3, 4 and 5 of its own.
    dict(
        id="duplicate seeds",
        graph_changes=dict(node_time={}),
        num_neighbors=fan((0, 0), (-1, 0), (0, -1)),
        seeds=(3, 3),
        expected=subgraph(
            paper=dict(node=[3, 3, 4, 5, 4, 5], batch=[0, 1, 0, 0, 1, 1], per_hop=[2, 0, 4]),
            author=dict(node=[2, 2], batch=[0, 1], per_hop=[0, 2, 0]),
            cites=dict(row=[], col=[], per_hop=[0, 0]),
            writes=dict(row=[0, 1], col=[0, 1], per_hop=[2, 0]),
            rev_writes=dict(row=[0, 2, 3, 1, 4, 5], col=[0, 0, 0, 1, 1, 1], per_hop=[0, 6]),
        ),
    ),
    dict(
        id="no hops",
        num_neighbors=fan(),
        seeds=(4, 1),
        expected=subgraph(
            paper=dict(node=[4, 1], batch=[0, 1], per_hop=[2]),
            author=dict(node=[], batch=[], per_hop=[0]),
            cites=dict(row=[], col=[], per_hop=[]),
            writes=dict(row=[], col=[], per_hop=[]),
            rev_writes=dict(row=[], col=[], per_hop=[]),
        ),
    ),
    # No fan-out is read for CITES at hop 1, so paper 1 does not reach paper 0.
    dict(
        id="fan-out list shorter than the hop count",
        num_neighbors=fan((-1,), (0, -1)),
        seeds=(2,),
        expected=subgraph(
            paper=dict(node=[2, 0, 1], batch=[0, 0, 0], per_hop=[1, 2, 0]),
            author=dict(node=[0, 1], batch=[0, 0], per_hop=[0, 0, 2]),
            cites=dict(row=[1, 2], col=[0, 0], per_hop=[2, 0]),
            writes=dict(row=[0, 1], col=[1, 2], per_hop=[0, 2]),
            rev_writes=dict(row=[], col=[], per_hop=[0, 0]),
        ),
    ),
    graph_changes={},
    seed_time=(),
)
def test_hand_checked_results(
    make_sampler, graph_changes, num_neighbors, seeds, seed_time, expected
):
    sampler = make_sampler(**graph_changes)
    result = sampler.sample(num_neighbors, {}, "paper", i64(*seeds), i64(*seed_time))
    assert as_lists(result) == expected


def test_result_invariants(graph):
    graph["node_time"] = {}
    sampler = tovalib.NeighborSampler(**graph)
    req = request(num_neighbors=fan((2, 2, 1), (1, -1, 1), (2, 2, 2)), seed_node=i64(5, 4, 5, 0))
    ends = {CITES: ("paper", "paper"), WRITES: ("author", "paper"), REV_WRITES: ("paper", "author")}
    results = [sampler.sample(**req) for _ in range(2)]
    for result in results:
        assert_well_formed(graph, req, result)
        rows, cols, node, _, _, _ = result
        for key, (src, dst) in ends.items():
            # an edge exists in the graph and is not drawn twice
            for u, v in zip(node[src][rows[key]], node[dst][cols[key]], strict=True):
                assert u in graph["row"][key][graph["colptr"][key][v] : graph["colptr"][key][v + 1]]
            assert len(set(zip(rows[key].tolist(), cols[key].tolist(), strict=True))) == len(
                rows[key]
            )


def raise_(error):
    def action():
        raise error

    return action


def first_hop_bound(bound):
    """Two hops' windows over CITES, the first of them ending at `bound`."""
    return windows((None, bound), (None, 0))


CAST_ERROR = (RuntimeError, "^" + msg.CAST_PREFIX)


# A bound is read by its __index__ at the hop that uses it: an integer-like bound reads as 0 does,
# any other fails the call with the cast error, an __index__ that raises with its own error.
@cases(
    dict(id="__index__", window=first_hop_bound(Index(lambda: 0)), error=None),
    dict(id="numpy-int32", window=first_hop_bound(np.int32(0)), error=None),
    dict(id="0-d-array", window=first_hop_bound(np.array(0)), error=None),
    dict(id="bool", window=first_hop_bound(False), error=None),
    dict(
        id="__index__-raises-ValueError",
        window=first_hop_bound(Index(raise_(ValueError("no bound")))),
        error=(ValueError, "^no bound$"),
    ),
    dict(
        id="__index__-raises-ZeroDivisionError",
        window=first_hop_bound(Index(raise_(ZeroDivisionError("zero")))),
        error=(ZeroDivisionError, "^zero$"),
    ),
    dict(
        id="__index__-raises-MemoryError",
        window=first_hop_bound(Index(raise_(MemoryError("full")))),
        error=(MemoryError, "^full$"),
    ),
    dict(
        id="__index__-raises-KeyboardInterrupt",
        window=first_hop_bound(Index(raise_(KeyboardInterrupt("stop")))),
        error=(KeyboardInterrupt, "^stop$"),
    ),
    dict(id="__index__-gives-float", window=first_hop_bound(Index(lambda: 2.5))),
    dict(id="0-d-float-array", window=first_hop_bound(np.array(1.5))),
    dict(id="numpy-float32", window=first_hop_bound(np.float32(1))),
    dict(id="Decimal", window=first_hop_bound(Decimal(1))),
    dict(id="Fraction", window=first_hop_bound(Fraction(1))),
    dict(id="float", window=first_hop_bound(1.0)),
    dict(id="beyond-int64", window=first_hop_bound(2**63)),
    dict(id="float-array", window=np.array([[0.0, 1.0], [0.0, 1.0]])),
    dict(id="float-lower-bound-at-hop-2", window=windows((None, 0), (0.0, 1))),
    dict(id="float-upper-bound-at-hop-2", window=windows((None, 0), (None, 1.5))),
    dict(
        id="one-row-for-two-hops",
        window=windows((None, 0)),
        error=(IndexError, "index 1 is out of bounds"),
    ),
    error=CAST_ERROR,
)
def test_a_window_bound_reads_as_its_index_or_fails_the_call_leaving_nothing_behind(
    make_sampler, window, error
):
    sampler = make_sampler()

    def call(window):
        fan_out = {WRITES: i64(-1, -1), REV_WRITES: i64(-1, -1)}
        return sampler.sample(fan_out, {CITES: window}, "paper", i64(5, 4), EMPTY)

    if error is None:
        assert_same_outcome(call(window), call(first_hop_bound(0)))
    else:
        with pytest.raises(error[0], match=error[1]):
            call(window)
    assert_same_outcome(sampler.sample(**request()), make_sampler().sample(**request()))


# Ids outside an array are refused where they are read, and only there.
# Column p1 of CITES becomes [9] and column p2 becomes [0, -1].
BAD_ROW = {**tiny_graph()["row"], CITES: i64(9, 0, -1, *tiny_graph()["row"][CITES][3:])}


def colptr_range(node):
    return msg.colptr_range(node=node, node_type="paper", key=CITES, size=7)


def node_time_range(node):
    return msg.node_time_range(node=node, node_type="paper", size=6)


def untimed_with_cites_colptr(*colptr):
    return dict(node_time={}, colptr={**tiny_graph()["colptr"], CITES: i64(*colptr)})


@cases(
    dict(id="seed-past-colptr", graph_changes=dict(node_time={}), seed=6, message=colptr_range(6)),
    dict(id="negative-seed", graph_changes=dict(node_time={}), seed=-1, message=colptr_range(-1)),
    # reached through row, expanded at hop 1
    dict(
        id="row-past-colptr",
        graph_changes=dict(node_time={}),
        seed=1,
        hops=2,
        message=colptr_range(9),
    ),
    # a seed's own time, gathered even without hops
    dict(id="seed-past-node_time", seed=6, hops=0, message=node_time_range(6)),
    dict(id="row-past-node_time", seed=1, seed_time=(100,), message=node_time_range(9)),
    dict(id="negative-row", seed=2, seed_time=(100,), message=node_time_range(-1)),
    dict(
        id="column-past-row",
        graph_changes=untimed_with_cites_colptr(0, 0, 1, 3, 6, 10, 16),
        seed=5,
        message=msg.row_span(node=5, key=CITES, start=10, end=16, size=15),
    ),
    dict(
        id="column-decreasing",
        graph_changes=untimed_with_cites_colptr(0, 0, 1, 3, 6, 10, 9),
        seed=5,
        message=msg.row_span(node=5, key=CITES, start=10, end=9, size=15),
    ),
    dict(
        id="column-negative",
        graph_changes=untimed_with_cites_colptr(0, -1, 1, 3, 6, 10, 15),
        seed=1,
        message=msg.row_span(node=1, key=CITES, start=-1, end=1, size=15),
    ),
    graph_changes={},
    seed_time=(),
    hops=1,
)
def test_ids_outside_an_array_raise_index_error(
    make_sampler, graph_changes, seed, seed_time, hops, message
):
    sampler = make_sampler(**{"row": BAD_ROW, **graph_changes})
    with pytest.raises(IndexError) as error:
        sampler.sample(fan([-1] * hops), {}, "paper", i64(seed), i64(*seed_time))
    assert error.value.args == (message,)


@pytest.mark.parametrize("graph_changes, seed_time", [(dict(node_time={}), ()), ({}, (60,))])
def test_ids_that_are_never_read_are_not_checked(make_sampler, graph_changes, seed_time):
    sampler = make_sampler(**graph_changes)
    result = sampler.sample(fan((0,), (0,), (0,)), {}, "paper", i64(6), i64(*seed_time))
    assert (result[2]["paper"].tolist(), result[5][CITES].tolist()) == ([6], [0])


@pytest.mark.parametrize("same_sampler", [True, False])
def test_nested_sample_calls(make_sampler, same_sampler):
    sampler = make_sampler()
    nested, outcomes = sampler if same_sampler else make_sampler(), []

    def nested_call():  # an error raised here would only show as a cast error: kept instead
        outcomes.append(outcome(nested.sample, **request()))
        return 0

    bound = Index(nested_call)
    num_neighbors = {CITES: i64(-1, 0), WRITES: i64(-1, 0)}
    # Fires after hop 0 of CITES and WRITES has recorded edges, so a reset would show.
    outer = sampler.sample(
        num_neighbors, {REV_WRITES: windows((None, bound), (None, bound))}, "paper", i64(3), EMPTY
    )
    plain = make_sampler().sample(
        num_neighbors, {REV_WRITES: windows((None, 0), (None, 0))}, "paper", i64(3), EMPTY
    )
    assert_same_outcome(outer, plain)
    assert len(outcomes) == 2
    for inner in outcomes:
        if same_sampler:
            assert isinstance(inner, RuntimeError)
            assert inner.args == (msg.ALREADY_SAMPLING,)
        else:
            assert_same_outcome(inner, make_sampler().sample(**request()))
    assert_same_outcome(sampler.sample(**request()), make_sampler().sample(**request()))


# "own" is the request as given; the binding refuses lists.
@pytest.mark.parametrize("form", [form for form in FORMS if form not in ("own", "list")])
def test_request_arrays_are_read_by_logical_value(make_sampler, form, tmp_path):
    request = dict(
        num_neighbors={CITES: i64(2, 1), WRITES: i64(1, 0)},
        sampling_time_offsets={REV_WRITES: i64(-20, 0, -9, 5).reshape(2, 2)},
        seed_node=i64(5, 3, 4),
        seed_time=i64(60, 25, 50),
    )
    laid_out = {
        name: {k: lend(form, v, tmp_path / f"{name}.{k}.npy")[0] for k, v in value.items()}
        if isinstance(value, dict)
        else lend(form, value, tmp_path / f"{name}.npy")[0]
        for name, value in request.items()
    }
    expected = make_sampler().sample(entity_table="paper", **request)
    assert_same_outcome(make_sampler().sample(entity_table="paper", **laid_out), expected)
