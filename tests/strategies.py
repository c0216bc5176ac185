"""Hypothesis strategies for random graphs and requests, with faults of two grades.

Semantic faults (ids outside an array, unsorted or corrupt columns, missing or doubled rules, lists
of the wrong length, seed times that do not match) reach the hop loop and its exits. Hostile faults
(bad keys, malformed arrays, odd spellings, arguments the binding refuses) exercise the conversions
and checks. `hostile=False` draws only the first grade, so more examples get past the checks.
TOVALIB_HYPOTHESIS_PROFILE=long explores far more examples than the bounded, reproducible default.
"""

import os
import warnings

import numpy as np
from hypothesis import HealthCheck, Phase, settings
from hypothesis import strategies as st

from conftest import EMPTY, i64

settings.register_profile(
    "default",
    max_examples=400,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "long",
    max_examples=100_000,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
    phases=list(Phase)[:-1],  # the explain phase alone can take minutes
)
PROFILE = settings.get_profile(os.environ.get("TOVALIB_HYPOTHESIS_PROFILE", "default"))

EXTREME = st.sampled_from([-(2**63), -(2**63) + 1, 2**63 - 2, 2**63 - 1])
INTS = st.integers(-3, 8) | EXTREME  # extremes make fan-outs huge and window thresholds wrap
# Mostly after the node times, so that a column often has several neighbours in time.
SEED_TIMES = st.integers(-3, 12) | EXTREME
BAD_KEYS = ["zz", ("a", "r0", "a"), 7, b"a__r0__a", "\ud800"]
BAD_ENTITIES = ["zz", b"\xff", "\ud800", None]
ODD_WINDOWS = [(0.5, 1), (None, 2.0), (0, 2**63), (None, None), (1, 2, 3), (np.int32(1), True)]
REFUSED = [
    ("node_types", b"\xff"),
    ("node_types", "\ud800"),
    ("edge_types", ("a", "r")),
    ("seed", 2**31),
    ("seed", 1.0),
    ("node_time", None),
]


def cast(dtype):
    """a.astype(dtype); an object array holding ints beyond the dtype (a window's extreme
    offsets) gives zeros of that dtype instead, as NumPy releases differ there (a deprecation
    warning in 1.x, OverflowError in 2.x)."""

    def convert(a):
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            try:
                return a.astype(dtype)
            except (DeprecationWarning, OverflowError):
                return np.zeros(a.shape, dtype)

    return convert


MALFORMED = [  # refused, converted or never read, then read by value
    np.ndarray.tolist,
    lambda a: None,
    lambda a: 5,
    lambda a: np.array("x"),
    lambda a: a.reshape(1, -1),
    cast(np.int32),
    cast(np.uint64),
    lambda a: a.astype(float),
    lambda a: a.astype(object),
    lambda a: a[:0].astype(float),
    lambda a: a.astype(">i8"),
    lambda a: np.repeat(a, 2)[::2],
    lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),
]


class Faults:
    """Coins for the two grades of fault, the odds drawn per graph and per request.

    Clean examples reach deep into the hop loop, faulty ones exercise the checks and the exits.
    Hypothesis favours boundary values, which would make "rare" common; a plain random stream
    seeded by Hypothesis keeps the odds."""

    def __init__(self, draw, hostile):
        self.draw, self.hostile = draw, hostile
        odds = draw(st.sampled_from([0, 0.02, 0.05, 0.2] if hostile else [0.1]))
        rng = draw(st.randoms(use_true_random=True))
        self.semantic = lambda: rng.random() < odds
        self.abuse = lambda: hostile and rng.random() < odds

    def ids(self, size):
        """Node ids of a type with `size` nodes, now and then outside it."""
        if self.semantic() or not size:
            return st.integers(-2, size + 1) | EXTREME
        return st.integers(0, size - 1)

    def malformed(self, value):
        if not isinstance(value, np.ndarray) or not self.abuse():
            return value
        try:
            return self.draw(st.sampled_from(MALFORMED))(value)
        except (TypeError, ValueError, OverflowError):  # an object array has no such form
            return value

    def spoilt(self, values):
        """A dict of arrays with an entry left out, a bad key added or values malformed."""
        if self.semantic() and values:
            values.pop(self.draw(st.sampled_from(sorted(values, key=str))))
        if self.abuse():
            values[self.draw(st.sampled_from(BAD_KEYS))] = EMPTY
        return {key: self.malformed(value) for key, value in values.items()}


@st.composite
def graphs(draw, hostile=True):
    """The graph with str names, the same graph as the module is given, whether the module may
    accept it, and the node count of every type."""
    faults = Faults(draw, hostile)
    rarely = faults.semantic
    names = draw(
        st.lists(
            st.sampled_from("abc"), min_size=0 if rarely() else 1, max_size=3, unique=not rarely()
        )
    )
    sizes = {t: draw(st.integers(0 if rarely() else 1, 5)) for t in names}
    timed = draw(st.sampled_from(["all", "none", "some"]))
    timed = {t for t in names if timed == "all" or (timed == "some" and draw(st.booleans()))}
    known = [*names, "z"] if rarely() or not names else names
    edge_types = [
        (draw(st.sampled_from(known)), f"r{i}", draw(st.sampled_from(known)))
        for i in range(draw(st.integers(0 if rarely() else 1, 4)))
    ]
    edge_types += edge_types[:1] if rarely() else []  # the same edge type twice acts once
    node_time = {t: i64(*draw(st.lists(INTS, min_size=sizes[t], max_size=sizes[t]))) for t in timed}
    colptr, row = {}, {}
    for src, rel, dst in edge_types:
        times, key = node_time.get(src, EMPTY), f"{src}__{rel}__{dst}"
        columns = [
            draw(st.lists(faults.ids(sizes.get(src, 0)), min_size=0 if rarely() else 1, max_size=5))
            for _ in range(sizes.get(dst, 0))
        ]
        if not rarely():  # sorted by neighbour time, as the timed modes require
            columns = [
                sorted(c, key=lambda u: times[u] if 0 <= u < len(times) else 0) for c in columns
            ]
        colptr[key] = np.cumsum([0] + [len(c) for c in columns])
        if rarely():  # decreasing, negative or huge offsets
            colptr[key][draw(st.integers(0, len(columns)))] = draw(INTS)
        row[key] = i64(*(u for c in columns for u in c))
    graph = dict(
        node_types=names,
        edge_types=edge_types,
        colptr=faults.spoilt(colptr),
        row=faults.spoilt(row),
        node_time=faults.spoilt(node_time),
        seed=draw(st.integers(-(2**31), 2**31 - 1)),
    )
    abuse = faults.abuse
    as_given = dict(  # equivalent spellings
        graph,
        node_types=[t.encode() if abuse() else t for t in names],
        edge_types=[list(e) if abuse() else e for e in edge_types],
    )
    if abuse():
        as_given["node_time"] = list(graph["node_time"].items())
    refused = draw(st.sampled_from(REFUSED)) if abuse() else None
    if refused:
        name, value = refused
        as_given[name] = [*as_given[name], value] if name.endswith("types") else value
    return graph, as_given, refused is None, sizes


def window_rows(draw, faults, hops):
    rows = draw(st.lists(st.tuples(st.none() | INTS, INTS), min_size=hops, max_size=hops))
    if faults.abuse():
        rows.insert(draw(st.integers(0, hops)), draw(st.sampled_from(ODD_WINDOWS)))
        return rows if faults.abuse() else np.array(rows, dtype=object)
    if any(lower is None for lower, _ in rows):
        return np.array(rows, dtype=object).reshape(-1, 2)
    return i64(*(bound for r in rows for bound in r)).reshape(-1, 2)


@st.composite
def requests(draw, graph, sizes, hostile=True):
    faults = Faults(draw, hostile)
    rarely, abuse = faults.semantic, faults.abuse
    hops = draw(st.integers(0 if rarely() else 1, 3))
    num_neighbors, offsets = {}, {}
    for src, rel, dst in graph["edge_types"]:
        use = "window" if src in graph["node_time"] and draw(st.booleans()) else "fan"
        use = draw(st.sampled_from(["both", "neither", "window"])) if rarely() else use
        length, key = draw(st.integers(0, 4)) if rarely() else hops, f"{src}__{rel}__{dst}"
        if use in ("fan", "both"):
            num_neighbors[key] = i64(*draw(st.lists(INTS, min_size=length, max_size=length)))
        if use in ("window", "both"):
            offsets[key] = window_rows(draw, faults, length)
    destinations = [dst for _, _, dst in graph["edge_types"]]
    entity = draw(st.sampled_from((graph["node_types"] if rarely() else destinations) or ["z"]))
    seeds = draw(
        st.lists(faults.ids(sizes.get(entity, 0)), min_size=0 if rarely() else 1, max_size=4)
    )
    if abuse():
        entity = draw(st.sampled_from([entity.encode(), bytearray(entity.encode()), *BAD_ENTITIES]))
    times = (
        draw(st.lists(SEED_TIMES, min_size=len(seeds), max_size=len(seeds)))
        if draw(st.booleans())
        else []
    )
    times = times[:-1] if rarely() else [*times, 1] if rarely() else times
    return dict(
        num_neighbors=faults.spoilt(num_neighbors),
        sampling_time_offsets=faults.spoilt(offsets),
        entity_table=entity,
        seed_node=faults.malformed(i64(*seeds)),
        seed_time=faults.malformed(i64(*times)),
    )
