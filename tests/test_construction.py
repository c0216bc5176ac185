"""NeighborSampler construction: the dict checks with their messages and order, and how the
graph arrays are read and kept."""

import gc
import weakref

import numpy as np
import pytest

import tovalib
from conftest import CITES, EMPTY, REV_WRITES, WRITES, i64, tiny_graph

MISSING = object()  # in a patch: leave this key out of the dict
I32 = np.array([0, 1], dtype=np.int32)
TWO_D = i64(0, 1).reshape(1, 2)
NO_TIME = {"paper": MISSING, "author": MISSING}
T_CITES, T_WRITES, T_REV = tiny_graph()["edge_types"]
LONE = "\ud800"  # a lone surrogate: a str that has no UTF-8 form


def observe(sampler):
    """Every neighbour, two hops out from every paper, timed at 35.

    It draws no random numbers, so the result depends only on the arrays the sampler reads."""
    result = sampler.sample({k: i64(-1, -1) for k in (CITES, WRITES, REV_WRITES)}, {}, "paper",
                            i64(0, 1, 2, 3, 4, 5), np.full(6, 35, dtype=np.int64))
    return [{k: v.tolist() for k, v in d.items()} for d in result]


def patched(**patches):
    """The tiny graph with arguments replaced; dict patches come first, in their own order."""
    graph = tiny_graph()
    for name, value in patches.items():
        if name in ("colptr", "row", "node_time"):
            value = {**value, **{k: v for k, v in graph[name].items() if k not in value}}
            value = {k: v for k, v in value.items() if v is not MISSING}
        graph[name] = value
    return graph


invalid = "Invalid type '{}' found in {}.".format
not_1d = "Type '{}' in {} is not 1D.".format
not_int64 = "Type '{}' in {} must have dtype int64.".format
unknown = "Edge type '{}' refers to node type '{}', which is not in node_types.".format


FAULTS = [
    # key text: exact, case-sensitive, str() of non-str keys
    (dict(colptr={"Paper__cites__paper": EMPTY}), invalid("Paper__cites__paper", "colptr")),
    (dict(colptr={T_CITES: EMPTY}), invalid(T_CITES, "colptr")),
    # a key that cannot be UTF-8 encoded fails with Python's own error
    (dict(colptr={LONE: EMPTY}), UnicodeEncodeError("utf-8", LONE, 0, 1, "surrogates not allowed")),
    (dict(node_time={"venue": EMPTY}), invalid("venue", "node_time")),
    # within one entry: key, then ndim (also for empty or converted values), then dtype
    (dict(colptr={"bogus": TWO_D}), invalid("bogus", "colptr")),
    (dict(colptr={CITES: TWO_D.astype(np.int32)}), not_1d(CITES, "colptr")),
    (dict(colptr={CITES: np.zeros((0, 2))}), not_1d(CITES, "colptr")),
    (dict(row={WRITES: 5}), not_1d(WRITES, "row")),
    (dict(row={WRITES: None}), not_1d(WRITES, "row")),
    (dict(row={WRITES: [[0, 1]]}), not_1d(WRITES, "row")),
    (dict(node_time={"author": I32}), not_int64("author", "node_time")),
    (dict(node_time={"author": I32.astype(np.uint64)}), not_int64("author", "node_time")),
    # the first faulty entry in the dict's order decides
    (dict(colptr={CITES: I32, "bogus": EMPTY}), not_int64(CITES, "colptr")),
    (dict(colptr={"bogus": EMPTY, CITES: I32}), invalid("bogus", "colptr")),
    # colptr, then row, then node_time; empty arrays of any dtype and big-endian int64 pass
    (dict(colptr={CITES: I32}, row={"bogus": EMPTY}), not_int64(CITES, "colptr")),
    (dict(row={CITES: I32}, node_time={"venue": EMPTY}), not_int64(CITES, "row")),
    (dict(colptr={CITES: np.array([], float)}, row={CITES: TWO_D}), not_1d(CITES, "row")),
    (dict(colptr={CITES: TWO_D[0].astype(">i8")}, row={"bogus": EMPTY}), invalid("bogus", "row")),
    # lookups come after every check; colptr is looked up whatever row holds
    (dict(colptr={WRITES: MISSING}), KeyError(WRITES)),
    (dict(row={REV_WRITES: MISSING}), KeyError(REV_WRITES)),
    (dict(colptr={REV_WRITES: MISSING}, row={WRITES: MISSING}), KeyError(WRITES)),
    (dict(colptr={WRITES: MISSING}, node_time={"venue": EMPTY}), invalid("venue", "node_time")),
    # unknown node types: after all checks and lookups, edge types in order, source first
    (dict(node_types=["paper"]), invalid("author", "node_time")),
    (dict(node_types=["paper"], node_time=NO_TIME, colptr={CITES: MISSING}), KeyError(CITES)),
    (dict(node_types=["paper"], node_time=NO_TIME), unknown(WRITES, "author")),
    (dict(node_types=["paper"], node_time=NO_TIME, edge_types=[T_CITES, T_REV, T_WRITES]),
     unknown(REV_WRITES, "author")),
    (dict(node_types=["venue"], node_time=NO_TIME, edge_types=[T_WRITES, T_CITES, T_REV]),
     unknown(WRITES, "author")),
]


@pytest.mark.parametrize("patches, error", FAULTS,
                         ids=[e if isinstance(e, str) else repr(e) for _, e in FAULTS])
def test_construction_fault_gives_its_exact_error(patches, error):
    if isinstance(error, str):
        error = RuntimeError(error)
    with pytest.raises(type(error)) as raised:
        tovalib.NeighborSampler(**patched(**patches))
    assert type(raised.value) is type(error) and raised.value.args == error.args


def memory_mapped(array, path):
    np.save(path, array)
    return np.load(path, mmap_mode="r")


def read_only(array, path):
    array = array.copy()
    array.flags.writeable = False
    return array


FORMS = {
    "contiguous": lambda a, path: a.copy(),
    "list": lambda a, path: a.tolist(),
    "strided": lambda a, path: np.repeat(a, 2)[::2],
    "reversed": lambda a, path: a[::-1].copy()[::-1],
    "big-endian": lambda a, path: a.astype(">i8"),
    "read-only": read_only,
    "memory-mapped": memory_mapped,
}


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("name", ["colptr", "row", "node_time"])
def test_arrays_in_any_form_are_read_right_after_the_caller_drops_them(name, form, tmp_path):
    expected = observe(tovalib.NeighborSampler(**tiny_graph()))
    graph = tiny_graph()
    graph[name] = {k: FORMS[form](v, tmp_path / f"{k}.npy") for k, v in graph[name].items()}
    sampler = tovalib.NeighborSampler(**graph)
    del graph
    gc.collect()
    # Freed buffers of these sizes get reused, so a dangling view would read sevens.
    clutter = [np.full(n, 7, dtype=np.int64) for n in range(1, 20) for _ in range(50)]
    assert observe(sampler) == expected
    del clutter


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


@pytest.mark.parametrize("name, key", [("colptr", CITES), ("row", WRITES), ("node_time", "paper")])
def test_contiguous_arrays_are_read_in_place(name, key):
    graph = tiny_graph()
    sampler = tovalib.NeighborSampler(**graph)
    before = observe(sampler)
    graph[name][key][:] = 0  # still a valid graph: empty columns, node 0, or time 0
    after = observe(sampler)
    assert after != before and after == observe(tovalib.NeighborSampler(**graph))
