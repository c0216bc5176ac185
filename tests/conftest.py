"""Shared fixtures and helpers, and a tiny citation graph small enough to check results by hand.

paper 0..5 (times 10, 20, ..., 60) and author 0..2 (times 5, 15, 25).
  paper__cites__paper        column v holds every earlier paper, 0 .. v-1
  author__writes__paper      p0:[0] p1:[1] p2:[0,1] p3:[2] p4:[0,2] p5:[1,2]
  paper__rev_writes__author  a0:[0,2,4] a1:[1,2,5] a2:[3,4,5]
Every column is sorted by neighbour time, as the timed modes require.
"""

import ctypes
import gc
import os
import pickle
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import messages
import tovalib

# True when the suite runs against the AddressSanitizer build (tools/sanitize.sh preloads it).
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

CITES = "paper__cites__paper"
WRITES = "author__writes__paper"
REV_WRITES = "paper__rev_writes__author"
EDGE_KEYS = [CITES, WRITES, REV_WRITES]
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


STAR, LOOP = "q__to__p", "p__to__p"


def star_graph(*columns, node_time=None, source="q"):
    """One relation, q to p (the key STAR), or with source="p" from p to itself (LOOP): node p<v>
    has the column columns[v] of source ids. The constructor's arguments, by name, for the module
    and the model alike."""
    lengths = [len(column) for column in columns]
    row = np.concatenate([np.asarray(c, dtype=np.int64) for c in columns]) if columns else EMPTY
    key = f"{source}__to__p"
    return dict(
        node_types=list(dict.fromkeys(["p", source])),
        edge_types=[(source, "to", "p")],
        colptr={key: np.cumsum([0, *lengths], dtype=np.int64)},
        row={key: row},
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


# Running code in a child process.


def child_outcome(function):
    try:
        result = function()
    except BaseException as error:  # the child reports whatever happened
        return type(error).__name__, error.args
    return "returned", as_lists(result) if type(result) is tuple else result


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


# Arrays lent to the sampler.

IN_PLACE, COPY = "in place", "copy"
# What a forked child reports of a call that refuses an array given new memory.
MOVED = ("RuntimeError", (messages.MOVED_AFTER_CHECK,))

# Every way a caller can hand over an int64 array, by the `form` lend() takes: whether the sampler
# reads the memory behind it in place or a copy of its own (memory nothing can hold, or laid out
# other than as contiguous native int64), and what a call gives once the caller tried to free or
# move that memory (None: what it gave before). A comma marks a move tried on the form before it.
LENT = {
    "own": (IN_PLACE, None),
    "own, given new memory": (IN_PLACE, MOVED),
    # NumPy 1.x only warns, 2.x refuses the assignment
    "own, .data replaced": (IN_PLACE, MOVED if np.__version__ < "2" else None),
    "view of a longer array": (IN_PLACE, None),
    "view, given new memory": (IN_PLACE, MOVED),
    "view, its owner given new memory": (IN_PLACE, MOVED),
    "view, its owner given less memory": (IN_PLACE, MOVED),
    "as_strided": (IN_PLACE, None),
    "as_strided, its owner cut loose": (IN_PLACE, None),
    "read-only view": (IN_PLACE, None),
    "memoryview": (IN_PLACE, None),
    "memoryview, released": (IN_PLACE, None),
    "mapped": (IN_PLACE, None),
    "as_strided of mapped": (IN_PLACE, None),
    "ctypes": (COPY, None),
    "strided": (COPY, None),
    "reversed": (COPY, None),
    "big-endian": (COPY, None),
    "list": (COPY, None),
}
# The forms alone, without the moves: every way of giving the same values.
FORMS = [form for form in LENT if ", " not in form]


def litter():
    """Fills freed memory of the tiny graph's sizes with out-of-range ids."""
    return [np.full(n, 10**9, np.int64) for n in range(1, 20) for _ in range(50)]


def new_memory(array):
    """Gives `array` new memory in place, as unpickling into it does; NumPy frees the old memory
    when the array owned it and drops the array's base otherwise. The new memory is of a size that
    cannot land where the old was (which would be the array's own values, read in place)."""
    state = np.full(1000, 10**9, np.int64).__reduce__()[2]
    return lambda: array.__setstate__(state)


def resize(array):
    return lambda: array.resize(10**6, refcheck=False)


def replace_data(array):
    def replace():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            array.data = np.zeros_like(array).data

    return replace


def less_memory(array):
    """Gives `array` new memory too small for what a view of it reads. With no free block of the
    new size left, the C library carves it out of the old: the array keeps its address."""
    state = np.full(4, 10**9, np.int64).__reduce__()[2]

    def give_less():
        drained = [np.empty(4, np.int64) for _ in range(2000)]
        array.__setstate__(state)
        return drained

    return give_less


def lend(form, array, path):
    """`array`'s values handed over in `form` (a key of LENT): the array the sampler is given, an
    array through which the caller can still write that memory (None for a list), and the move
    (None for a list). `path` is where a mapped form keeps its file. Nothing else refers to the
    memory, so the caller has dropped it once these three are dropped."""
    if form.startswith("own"):
        owner = array.copy()
        move = {
            "own": resize,
            "own, given new memory": new_memory,
            "own, .data replaced": replace_data,
        }
        return owner, owner, move[form](owner)
    if form.startswith("view"):
        padding = 500 if form.endswith("less memory") else 3  # see less_memory()
        longer = np.concatenate([array, np.zeros((padding, *array.shape[1:]), np.int64)])
        view = longer[: len(array)]
        move = {
            "view of a longer array": lambda: resize(longer),
            "view, given new memory": lambda: new_memory(view),
            "view, its owner given new memory": lambda: new_memory(longer),
            "view, its owner given less memory": lambda: less_memory(longer),
        }
        return view, view, move[form]()
    if form == "as_strided":
        owner = array.copy()
        return np.lib.stride_tricks.as_strided(owner), owner, resize(owner)
    if form == "as_strided, its owner cut loose":
        strided = np.lib.stride_tricks.as_strided(array.copy())
        return strided, strided, lambda: setattr(strided.base, "base", None)
    if form == "read-only view":
        owner = array.copy()
        return np.lib.stride_tricks.as_strided(owner, writeable=False), owner, resize(owner)
    if form == "memoryview":
        owner = array.copy()
        return np.asarray(memoryview(owner)), owner, resize(owner)
    if form == "memoryview, released":
        viewed = np.asarray(memoryview(array.copy()))[:]
        return viewed, viewed, viewed.base.base.release
    if form == "ctypes":
        ctype = ctypes.c_int64
        for size in reversed(array.shape):
            ctype *= size
        buffer = ctype.from_buffer_copy(np.ascontiguousarray(array, np.int64))
        given = np.ctypeslib.as_array(buffer)
        return given, given, lambda: ctypes.resize(buffer, 8 * 10**6)
    if form in ("mapped", "as_strided of mapped"):
        np.save(path, array)
        mapped = np.load(path, mmap_mode="r")
        given = mapped if form == "mapped" else np.lib.stride_tricks.as_strided(mapped)
        return given, np.load(path, mmap_mode="r+"), mapped.base.close
    if form == "strided":  # every other element is junk, so a reader that ignores strides sees -9
        given = np.stack([array, np.full_like(array, -9)], axis=-1)[..., 0]
        return given, given, resize(given.base)
    if form == "reversed":
        given = np.ascontiguousarray(array[::-1])[::-1]
        return given, given, resize(given.base)
    if form == "big-endian":
        given = array.astype(">i8")
        return given, given, resize(given)
    assert form == "list"
    return array.tolist(), None, None
