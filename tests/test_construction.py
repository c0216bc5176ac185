"""NeighborSampler construction: the dict checks with their messages and order, and how the
graph arrays are read and kept."""

import contextlib
import gc
import weakref

import numpy as np
import pytest

import messages as msg
import tovalib
from conftest import (
    CITES,
    COPY,
    EMPTY,
    IN_PLACE,
    LENT,
    REV_WRITES,
    WRITES,
    cases,
    i64,
    isolated,
    lend,
    litter,
    observe,
    tiny_graph,
)

MISSING = object()  # in a patch: leave this key out of the dict
I32 = np.array([0, 1], dtype=np.int32)
TWO_D = i64(0, 1).reshape(1, 2)
NO_TIME = {"paper": MISSING, "author": MISSING}
T_CITES, T_WRITES, T_REV = tiny_graph()["edge_types"]
LONE = "\ud800"  # a lone surrogate: a str that has no UTF-8 form


def patched(**patches):
    """The tiny graph with arguments replaced; dict patches come first, in their own order."""
    graph = tiny_graph()
    for name, value in patches.items():
        if name in ("colptr", "row", "node_time"):
            value = {**value, **{k: v for k, v in graph[name].items() if k not in value}}
            value = {k: v for k, v in value.items() if v is not MISSING}
        graph[name] = value
    return graph


def invalid(key, name):
    return RuntimeError(msg.invalid_type(key=key, name=name))


def not_1d(key, name):
    return RuntimeError(msg.entry_not_nd(key=key, name=name, ndim=1))


def not_int64(key, name):
    return RuntimeError(msg.entry_not_int64(key=key, name=name))


def unknown(key, node_type):
    return RuntimeError(msg.unknown_node_type(key=key, node_type=node_type))


@cases(
    # key text: exact, case-sensitive, str() of non-str keys
    dict(
        id="key-case",
        patches=dict(colptr={"Paper__cites__paper": EMPTY}),
        error=invalid("Paper__cites__paper", "colptr"),
    ),
    dict(id="key-tuple", patches=dict(colptr={T_CITES: EMPTY}), error=invalid(T_CITES, "colptr")),
    # a key that cannot be UTF-8 encoded fails with Python's own error
    dict(
        id="key-surrogate",
        patches=dict(colptr={LONE: EMPTY}),
        error=UnicodeEncodeError("utf-8", LONE, 0, 1, "surrogates not allowed"),
    ),
    dict(
        id="key-node_time",
        patches=dict(node_time={"venue": EMPTY}),
        error=invalid("venue", "node_time"),
    ),
    # within one entry: key, then ndim (also for empty or converted values), then dtype
    dict(
        id="key-before-ndim",
        patches=dict(colptr={"bogus": TWO_D}),
        error=invalid("bogus", "colptr"),
    ),
    dict(
        id="ndim-before-dtype",
        patches=dict(colptr={CITES: TWO_D.astype(np.int32)}),
        error=not_1d(CITES, "colptr"),
    ),
    dict(
        id="ndim-of-empty",
        patches=dict(colptr={CITES: np.zeros((0, 2))}),
        error=not_1d(CITES, "colptr"),
    ),
    dict(id="ndim-of-int", patches=dict(row={WRITES: 5}), error=not_1d(WRITES, "row")),
    dict(id="ndim-of-none", patches=dict(row={WRITES: None}), error=not_1d(WRITES, "row")),
    dict(
        id="ndim-of-nested-list", patches=dict(row={WRITES: [[0, 1]]}), error=not_1d(WRITES, "row")
    ),
    dict(
        id="dtype-int32",
        patches=dict(node_time={"author": I32}),
        error=not_int64("author", "node_time"),
    ),
    dict(
        id="dtype-uint64",
        patches=dict(node_time={"author": I32.astype(np.uint64)}),
        error=not_int64("author", "node_time"),
    ),
    # the first faulty entry in the dict's order decides
    dict(
        id="dict-order-dtype-first",
        patches=dict(colptr={CITES: I32, "bogus": EMPTY}),
        error=not_int64(CITES, "colptr"),
    ),
    dict(
        id="dict-order-key-first",
        patches=dict(colptr={"bogus": EMPTY, CITES: I32}),
        error=invalid("bogus", "colptr"),
    ),
    # colptr, then row, then node_time; empty arrays of any dtype and big-endian int64 pass
    dict(
        id="colptr-before-row",
        patches=dict(colptr={CITES: I32}, row={"bogus": EMPTY}),
        error=not_int64(CITES, "colptr"),
    ),
    dict(
        id="row-before-node_time",
        patches=dict(row={CITES: I32}, node_time={"venue": EMPTY}),
        error=not_int64(CITES, "row"),
    ),
    dict(
        id="empty-float-passes",
        patches=dict(colptr={CITES: np.array([], float)}, row={CITES: TWO_D}),
        error=not_1d(CITES, "row"),
    ),
    dict(
        id="big-endian-passes",
        patches=dict(colptr={CITES: TWO_D[0].astype(">i8")}, row={"bogus": EMPTY}),
        error=invalid("bogus", "row"),
    ),
    # lookups come after every check; colptr is looked up whatever row holds
    dict(id="missing-colptr", patches=dict(colptr={WRITES: MISSING}), error=KeyError(WRITES)),
    dict(id="missing-row", patches=dict(row={REV_WRITES: MISSING}), error=KeyError(REV_WRITES)),
    dict(
        id="colptr-looked-up-first",
        patches=dict(colptr={REV_WRITES: MISSING}, row={WRITES: MISSING}),
        error=KeyError(WRITES),
    ),
    dict(
        id="checks-before-lookups",
        patches=dict(colptr={WRITES: MISSING}, node_time={"venue": EMPTY}),
        error=invalid("venue", "node_time"),
    ),
    # unknown node types: after all checks and lookups, edge types in order, source first
    dict(
        id="node_time-key-unknown",
        patches=dict(node_types=["paper"]),
        error=invalid("author", "node_time"),
    ),
    dict(
        id="lookup-before-node-types",
        patches=dict(node_types=["paper"], node_time=NO_TIME, colptr={CITES: MISSING}),
        error=KeyError(CITES),
    ),
    dict(
        id="unknown-source",
        patches=dict(node_types=["paper"], node_time=NO_TIME),
        error=unknown(WRITES, "author"),
    ),
    dict(
        id="unknown-destination",
        patches=dict(
            node_types=["paper"], node_time=NO_TIME, edge_types=[T_CITES, T_REV, T_WRITES]
        ),
        error=unknown(REV_WRITES, "author"),
    ),
    dict(
        id="first-edge-type-decides",
        patches=dict(
            node_types=["venue"], node_time=NO_TIME, edge_types=[T_WRITES, T_CITES, T_REV]
        ),
        error=unknown(WRITES, "author"),
    ),
)
def test_construction_fault_gives_its_exact_error(patches, error):
    with pytest.raises(type(error)) as raised:
        tovalib.NeighborSampler(**patched(**patches))
    assert type(raised.value) is type(error)
    assert raised.value.args == error.args


@pytest.mark.parametrize("form", LENT)
@pytest.mark.parametrize("place", ["colptr", "row", "node_time"])
def test_a_lent_array_is_read_in_place_or_copied_and_never_freed_under_the_sampler(
    place, form, tmp_path
):
    """Writes through the caller's own view of the memory show in later calls exactly when the
    sampler reads it in place. Once the caller has tried to free or move that memory and dropped
    every reference to it, a call gives what it gave before, or refuses an array whose memory was
    replaced in place: never the values of freed memory."""
    read, moved = LENT[form]
    graph = tiny_graph()
    zeroed = {**graph, place: {k: np.zeros_like(v) for k, v in graph[place].items()}}
    expected = {IN_PLACE: observe(tovalib.NeighborSampler(**zeroed))}
    expected[COPY] = observe(tovalib.NeighborSampler(**graph))
    assert expected[IN_PLACE] != expected[COPY]

    def attempt():
        lent = {k: lend(form, v, tmp_path / f"{k}.npy") for k, v in graph[place].items()}
        sampler = tovalib.NeighborSampler(**{**graph, place: {k: v[0] for k, v in lent.items()}})
        write_zeros_then_try_to_move(lent.values())
        del lent  # what the moves freed is freed now: nothing in it is cyclic
        garbage = litter()
        return observe(sampler), garbage

    assert isolated(lambda: attempt()[0]) == (moved or ("returned", expected[read]))


def write_zeros_then_try_to_move(lent):
    """What a caller may do with memory it lent: write to it, then free or move it."""
    for _, writable, _ in lent:
        if writable is not None:
            writable[...] = 0
    for _, _, move in lent:
        with contextlib.suppress(ValueError, BufferError, AttributeError):
            if move:
                move()


def test_sampler_holds_its_arrays_exactly_as_long_as_it_lives():
    graph = tiny_graph()
    refs = [weakref.ref(a) for name in ("colptr", "row", "node_time") for a in graph[name].values()]
    sampler = tovalib.NeighborSampler(**graph)
    del graph
    gc.collect()
    assert all(ref() is not None for ref in refs)
    del sampler
    gc.collect()
    assert all(ref() is None for ref in refs)
