"""Shared fixtures and helpers, and a tiny citation graph small enough to check results by hand.

paper 0..5 (times 10, 20, ..., 60) and author 0..2 (times 5, 15, 25).
  paper__cites__paper        column v holds every earlier paper, 0 .. v-1
  author__writes__paper      p0:[0] p1:[1] p2:[0,1] p3:[2] p4:[0,2] p5:[1,2]
  paper__rev_writes__author  a0:[0,2,4] a1:[1,2,5] a2:[3,4,5]
Every column is sorted by neighbour time, as the timed modes require.
"""

import gc
import os
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tovalib

# True when the suite runs against the AddressSanitizer build (tools/sanitize.sh preloads it).
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

CITES = "paper__cites__paper"
WRITES = "author__writes__paper"
REV_WRITES = "paper__rev_writes__author"
EDGE_KEYS, NODE_TYPES = [CITES, WRITES, REV_WRITES], ["paper", "author"]
RESULT_PARTS = [
    "sampled_row",
    "sampled_col",
    "node",
    "batch",
    "num_sampled_nodes",
    "num_sampled_edges",
]
# What the module may raise for a bad argument; anything else is a fault in itself.
DOCUMENTED = (RuntimeError, KeyError, IndexError, TypeError, ValueError, UnicodeError, BufferError)


def i64(*values):
    return np.array(values, dtype=np.int64)


EMPTY = i64()


def windows(*rows):
    """A window array as callers write one with open lower bounds: object dtype, shape (N, 2)."""
    return np.array(rows, dtype=object).reshape(-1, 2)


def tiny_graph():
    return dict(
        node_types=["paper", "author"],
        edge_types=[
            ("paper", "cites", "paper"),
            ("author", "writes", "paper"),
            ("paper", "rev_writes", "author"),
        ],
        colptr={
            CITES: i64(0, 0, 1, 3, 6, 10, 15),
            WRITES: i64(0, 1, 2, 4, 5, 7, 9),
            REV_WRITES: i64(0, 3, 6, 9),
        },
        row={
            CITES: i64(0, 0, 1, 0, 1, 2, 0, 1, 2, 3, 0, 1, 2, 3, 4),
            WRITES: i64(0, 1, 0, 1, 2, 0, 2, 1, 2),
            REV_WRITES: i64(0, 2, 4, 1, 2, 5, 3, 4, 5),
        },
        node_time={"paper": i64(10, 20, 30, 40, 50, 60), "author": i64(5, 15, 25)},
    )


STAR = "q__to__p"


def star_graph(*columns, node_time=None):
    """One relation, q to p: node p<v> has the column columns[v] of q ids. The constructor's
    arguments, by name, for the module and the model alike."""
    lengths = [len(column) for column in columns]
    row = np.concatenate([np.asarray(c, dtype=np.int64) for c in columns]) if columns else EMPTY
    return dict(
        node_types=["p", "q"],
        edge_types=[("q", "to", "p")],
        colptr={STAR: np.cumsum([0, *lengths], dtype=np.int64)},
        row={STAR: row},
        node_time={} if node_time is None else node_time,
    )


@pytest.fixture
def graph():
    return tiny_graph()


@pytest.fixture
def make_sampler():
    """Builds a NeighborSampler over the tiny graph, with any argument replaced."""

    def make(**overrides):
        return tovalib.NeighborSampler(**{**tiny_graph(), **overrides})

    return make


def cases(*rows, **defaults):
    """A parametrize mark from a table of keyword rows.

    Each row is a dict with an `id` and a value for every field that `defaults` does not give, so a
    hand-checked expectation reads by name rather than by position."""
    names = list(dict.fromkeys([*defaults, *(k for row in rows for k in row if k != "id")]))
    params = []
    for row in rows:
        values = {**defaults, **{k: v for k, v in row.items() if k != "id"}}
        missing = set(names) - set(values)
        assert not missing, f"row {row.get('id')!r} lacks {sorted(missing)}"
        params.append(pytest.param(*(values[name] for name in names), id=row["id"]))
    return pytest.mark.parametrize(names, params)


def as_lists(result):
    """A result as plain lists, keyed by part name, in the order the module returns them."""
    return {
        name: {k: v.tolist() for k, v in part.items()}
        for name, part in zip(RESULT_PARTS, result, strict=True)
    }


def child_outcome(function):
    try:
        return "returned", as_lists(function())
    except BaseException as error:  # the child reports whatever happened
        return type(error).__name__, error.args


def isolated(function):
    """function()'s outcome, run in a forked child so that a crash fails one test, not the run."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        os.close(read)
        os.write(write, pickle.dumps(child_outcome(function)))
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        data = pipe.read()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status), f"the child died (wait status {status})"
    assert data, "the child reported nothing"
    return pickle.loads(data)


def in_fresh_interpreter(code, timeout=60):
    """What `code` printed, run in a new interpreter that can import the test modules: for a case
    that needs a process no other test has touched. Its failure fails the test, with its traceback;
    a hang fails it after `timeout` seconds."""
    run = subprocess.run(
        [sys.executable, "-c", code],
        cwd=Path(__file__).parent,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert run.returncode == 0, run.stderr
    return run.stdout


# Python code that runs inside a call, where the module reads a key or converts a window bound.


class Key(str):
    """A dict key equal to `text` that runs `on_str` whenever its text is asked for (str()) and
    `on_eq` whenever it is compared."""

    def __new__(cls, text, on_str=None, on_eq=None):
        key = super().__new__(cls, text)
        key.on_str, key.on_eq = on_str, on_eq
        return key

    def __str__(self):
        if self.on_str:
            self.on_str()
        return str.__str__(self)

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class ClearingKey:
    """A key, not a str, that empties its dict, and every other dict the garbage collector shows
    holding it, while the dict is being checked, then fills the memory of the freed value with
    two-dimensional arrays."""

    def __init__(self, text, owner):
        self.text, self.owner = text, owner

    def __hash__(self):
        return 1

    def __str__(self):
        self.owner.clear()
        for referrer in gc.get_referrers(self):
            if isinstance(referrer, dict) and referrer is not self.__dict__:
                referrer.clear()
        ClearingKey.litter = [np.zeros((1, 1), dtype=np.int64) for _ in range(1000)]
        return self.text


def with_clearing_key(text, value):
    d = {}
    d[ClearingKey(text, d)] = value
    return d


class Index:
    """An integer-like value (a window bound, say) whose __index__ returns what `action` does."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


def observe(sampler, **request):
    """Every neighbour within two hops of every paper at time 35, unless the request says otherwise.

    Takes every neighbour, so it draws no random numbers: the result depends only on the arrays the
    sampler reads and on the request."""
    request = {
        "num_neighbors": {k: i64(-1, -1) for k in EDGE_KEYS},
        "sampling_time_offsets": {},
        "entity_table": "paper",
        "seed_node": i64(0, 1, 2, 3, 4, 5),
        "seed_time": np.full(6, 35, dtype=np.int64),
        **request,
    }
    return as_lists(sampler.sample(**request))


def memory_mapped(value, path):
    """An array saved and mapped read-only from `path`; a dict of them, one file per key."""
    if isinstance(value, dict):
        return {
            k: memory_mapped(v, path.with_name(f"{path.stem}.{k}.npy")) for k, v in value.items()
        }
    np.save(path, value)
    return np.load(path, mmap_mode="r")


def read_only(array, path):
    array = array.copy()
    array.flags.writeable = False
    return array


# Forms of one int64 array that hold the same logical values; each takes a path a form may write to.
LAYOUTS = {
    "contiguous": lambda a, path: a.copy(),
    # every other element is junk, so a reader that ignores strides sees -9
    "strided": lambda a, path: np.stack([a, np.full_like(a, -9)], axis=-1)[..., 0],
    "reversed": lambda a, path: np.ascontiguousarray(a[::-1])[::-1],
    "big-endian": lambda a, path: a.astype(">i8"),
    "read-only": read_only,
    "memory-mapped": memory_mapped,
}


def outcome(function, *args, **kwargs):
    """What a call gives: its result, or the documented exception it raised (never without text)."""
    try:
        return function(*args, **kwargs)
    except DOCUMENTED as error:
        failure = error
    assert failure.args, f"{type(failure).__name__} without a message"
    return failure


def assert_same_outcome(actual, expected):
    """Two results equal part by part, key order and int64 dtype included, or the same exception."""
    if isinstance(expected, Exception) or isinstance(actual, Exception):
        assert type(actual) is type(expected), (actual, expected)
        if type(actual) is TypeError:  # the binding's text goes on to list the accepted signatures
            assert str(actual).startswith(str(expected))
        else:
            assert actual.args == expected.args
        return
    assert len(actual) == len(expected) == len(RESULT_PARTS)
    for name, got, want in zip(RESULT_PARTS, actual, expected, strict=True):
        assert list(got) == list(want), name
        for key in want:
            assert got[key].dtype == np.int64, (name, key)
            assert got[key].tolist() == want[key].tolist(), (name, key)


def assert_well_formed(graph, request, result):
    """The invariants of any successful call, whatever the graph and the random stream."""
    node_types, ends = list(dict.fromkeys(graph["node_types"])), {}
    for src, rel, dst in graph["edge_types"]:
        ends.setdefault(f"{src}__{rel}__{dst}", []).append((src, dst))
    assert type(result) is tuple
    assert [list(part) for part in result] == [[*ends]] * 2 + [node_types] * 3 + [[*ends]]
    for array in (array for part in result for array in part.values()):
        assert type(array) is np.ndarray
        assert array.dtype == np.int64
        assert array.ndim == 1
        assert array.flags.owndata
        assert array.flags.c_contiguous
        assert array.flags.writeable
    rows, cols, node, batch, num_nodes, num_edges = result
    hops = max(
        [np.size(v) for v in request["num_neighbors"].values()]
        + [len(v) for v in request["sampling_time_offsets"].values()],
        default=0,
    )
    seeds, entity = request["seed_node"].tolist(), request["entity_table"]
    entity = entity if isinstance(entity, str) else entity.decode()
    assert node[entity][: len(seeds)].tolist() == seeds
    assert batch[entity][: len(seeds)].tolist() == [*range(len(seeds))]
    for t in node_types:
        assert num_nodes[t][0] == (len(seeds) if t == entity else 0)  # hop 0 holds the seeds only
        assert len(num_nodes[t]) == hops + 1
        assert num_nodes[t].sum() == len(node[t]) == len(batch[t])
        assert ((batch[t] >= 0) & (batch[t] < len(seeds))).all()
    for key, pairs in ends.items():
        assert len(num_edges[key]) == hops
        assert num_edges[key].sum() == len(rows[key]) == len(cols[key])
        for src, dst in pairs:
            assert ((rows[key] >= 0) & (rows[key] < len(node[src]))).all()
            assert ((cols[key] >= 0) & (cols[key] < len(node[dst]))).all()
            # an edge stays inside one seed's subgraph
            assert (batch[src][rows[key]] == batch[dst][cols[key]]).all()
