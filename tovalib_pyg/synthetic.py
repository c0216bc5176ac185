"""Synthetic heterogeneous temporal graph shaped like a small retail database.

Tables and their rows become node types:

* ``customer``    -- sign-up time (day granularity)
* ``product``     -- listing time (day granularity)
* ``transaction`` -- one purchase by one customer of a basket of products
* ``review``      -- one customer reviewing one product they bought

Every foreign key becomes two edge types, one per direction, so samplers can
walk from any table to any other.  Adjacency is stored in CSC form per edge
type ``(src, rel, dst)``: ``colptr[key]`` has ``num_nodes[dst] + 1`` entries and
``row[key][colptr[v]:colptr[v + 1]]`` are the ids of the ``src`` neighbours of
``v``.  Every column is sorted by the neighbour's ``node_time`` with ties
broken by neighbour id, because temporal samplers binary-search a column for
the last neighbour that is not in the future of the seed.

Generation is fully vectorised and deterministic for a given ``(scale, seed)``.

Usage::

    python -m tovalib_pyg.synthetic --scale small --out /tmp/g_small
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from dataclasses import dataclass

import numpy as np

NODE_TYPES: list[str] = ["customer", "product", "transaction", "review"]

EDGE_TYPES: list[tuple[str, str, str]] = [
    ("transaction", "bought_by", "customer"),
    ("customer", "rev_bought_by", "transaction"),
    ("transaction", "contains", "product"),
    ("product", "rev_contains", "transaction"),
    ("review", "written_by", "customer"),
    ("customer", "rev_written_by", "review"),
    ("review", "about", "product"),
    ("product", "rev_about", "review"),
]

# Node counts at scale factor 1.0 ("default").  With a mean basket of ~5.7
# distinct products this yields ~1M nodes and ~10M edges over all 8 types.
_BASE_NODES = {
    "customer": 120_000,
    "product": 40_000,
    "transaction": 700_000,
    "review": 140_000,
}
SCALES: dict[str, float] = {"small": 0.05, "default": 1.0, "large": 10.0}

_MEAN_BASKET = 5.8
# Zipf-like exponents for popularity by rank.  Below 1 the head stays heavy
# while the tail keeps most of the mass, which gives a handful of products with
# tens of thousands of purchases at default scale and many nearly idle ones.
_PRODUCT_ZIPF = 0.7
_CUSTOMER_ZIPF = 0.6

_DAY = 86_400
_T_START = 1_500_000_000  # mid-2017, seconds since the Unix epoch
_T_SPAN = 3 * 365 * _DAY
_T_END = _T_START + _T_SPAN
# Entities appear during the first part of the window so that late sign-ups
# still have some time left to buy things.
_ENTITY_FRACTION = 0.8
_REVIEW_DELAY_MEAN = 10 * _DAY

MANIFEST = "graph.json"


def key(edge_type: tuple[str, str, str]) -> str:
    """Dictionary key used for an edge type's ``colptr`` / ``row`` arrays."""
    src, rel, dst = edge_type
    return f"{src}__{rel}__{dst}"


@dataclass
class Graph:
    node_types: list[str]
    edge_types: list[tuple[str, str, str]]
    colptr: dict[str, np.ndarray]
    row: dict[str, np.ndarray]
    node_time: dict[str, np.ndarray]

    key = staticmethod(key)

    def num_nodes(self) -> dict[str, int]:
        return {t: int(self.node_time[t].shape[0]) for t in self.node_types}

    def num_edges(self) -> int:
        return int(sum(self.row[key(et)].shape[0] for et in self.edge_types))

    def num_edges_by_type(self) -> dict[str, int]:
        return {key(et): int(self.row[key(et)].shape[0]) for et in self.edge_types}

    def max_degree(self) -> dict[str, int]:
        out = {}
        for et in self.edge_types:
            cp = self.colptr[key(et)]
            out[key(et)] = int(np.diff(cp).max()) if cp.shape[0] > 1 else 0
        return out


# --------------------------------------------------------------------------
# generation
# --------------------------------------------------------------------------


def _scale_factor(scale: str | float) -> float:
    if isinstance(scale, str):
        if scale not in SCALES:
            raise ValueError(f"unknown scale {scale!r}; expected one of {sorted(SCALES)}")
        return SCALES[scale]
    factor = float(scale)
    if not factor > 0:
        raise ValueError(f"scale factor must be positive, got {scale!r}")
    return factor


def _popularity(rng: np.random.Generator, n: int, exponent: float) -> np.ndarray:
    """Zipf-like weight per id.

    Popularity rank is decoupled from id by a random permutation so that no
    consumer can accidentally rely on "small id == hub".
    """
    w = np.empty(n, dtype=np.float64)
    w[rng.permutation(n)] = np.arange(1, n + 1, dtype=np.float64) ** -exponent
    return w


def _picker(
    rng: np.random.Generator, weight: np.ndarray, at_rank: np.ndarray, sorted_time: np.ndarray
):
    """Returns pick(t) drawing one id per event time ``t`` by popularity among
    the entities that already exist at ``t``.

    Entities sorted by time form a prefix for any ``t``, so conditioning on
    existence is a draw against a prefix of the cumulative weight, which keeps
    event times free to follow their own distribution instead of being pushed
    after the latest entity involved.
    """
    cw = np.cumsum(weight[at_rank])

    def pick(t: np.ndarray) -> np.ndarray:
        m = np.searchsorted(sorted_time, t, side="right")
        if m.shape[0] and m.min() < 1:
            raise ValueError("event time precedes every entity")
        u = rng.random(t.shape[0]) * cw[m - 1]
        j = np.searchsorted(cw, u, side="right")
        # Float rounding can put u a hair past cw[m - 1].
        np.minimum(j, m - 1, out=j)
        return at_rank[j]

    return pick


def _entity_times(rng: np.random.Generator, n: int) -> np.ndarray:
    # Day granularity produces many exact ties, which exercises the
    # tie-break-by-id path of every sorted column.
    days = int(_T_SPAN * _ENTITY_FRACTION) // _DAY
    return _T_START + rng.integers(0, days, size=n, dtype=np.int64) * _DAY


def _time_rank(t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Order nodes by (time, id): returns (rank_of_node, node_at_rank).

    Encoding a neighbour by its rank lets a whole CSC be built from one sort of
    a single int64 key instead of a three-key lexsort.
    """
    node_at_rank = np.argsort(t, kind="stable").astype(np.int64)
    rank_of_node = np.empty_like(node_at_rank)
    rank_of_node[node_at_rank] = np.arange(t.shape[0], dtype=np.int64)
    return rank_of_node, node_at_rank


def _csc(dst, src, n_dst, src_rank, src_at_rank, dedupe=False):
    """CSC (colptr, row) with each column sorted by (src time, src id)."""
    n_src = src_at_rank.shape[0]
    if n_dst * n_src >= 2**63:
        raise OverflowError("graph too large for single int64 sort key")
    k = dst.astype(np.int64) * n_src
    k += src_rank[src]
    k.sort()
    if dedupe and k.shape[0] > 1:
        k = k[np.concatenate(([True], k[1:] != k[:-1]))]
    col = k // n_src
    row = src_at_rank[k - col * n_src]
    colptr = np.zeros(n_dst + 1, dtype=np.int64)
    np.cumsum(np.bincount(col, minlength=n_dst), out=colptr[1:])
    return np.ascontiguousarray(colptr), np.ascontiguousarray(row, dtype=np.int64)


def generate(scale: str | float = "default", seed: int = 0) -> Graph:
    """Build the synthetic graph.

    ``scale`` is one of ``SCALES`` ('small' ~50k nodes / ~0.5M edges,
    'default' ~1M / ~10M, 'large' ~10M / ~100M) or a positive float factor
    relative to 'default'.
    """
    f = _scale_factor(scale)
    n = {t: max(1, round(c * f)) for t, c in _BASE_NODES.items()}
    n_cust, n_prod, n_txn, n_rev = (n[t] for t in NODE_TYPES)
    rng = np.random.default_rng(seed)

    cust_time = _entity_times(rng, n_cust)
    prod_time = _entity_times(rng, n_prod)
    cust_rank, cust_at = _time_rank(cust_time)
    prod_rank, prod_at = _time_rank(prod_time)
    pick_customer = _picker(
        rng, _popularity(rng, n_cust, _CUSTOMER_ZIPF), cust_at, cust_time[cust_at]
    )
    pick_product = _picker(
        rng, _popularity(rng, n_prod, _PRODUCT_ZIPF), prod_at, prod_time[prod_at]
    )

    # Purchase volume grows linearly over the window, roughly in step with the
    # number of registered customers, so per-customer activity stays flat
    # instead of the first sign-ups absorbing all early traffic.
    t0 = max(int(cust_time.min()), int(prod_time.min()))
    txn_time = t0 + (np.sqrt(rng.random(n_txn)) * (_T_END - t0)).astype(np.int64)
    txn_rank, txn_at = _time_rank(txn_time)

    # Transactions: one customer + a geometric basket of products, each chosen
    # among entities that exist at the purchase time.
    txn_cust = pick_customer(txn_time)
    basket = rng.geometric(1.0 / _MEAN_BASKET, size=n_txn).astype(np.int64)
    item_txn = np.repeat(np.arange(n_txn, dtype=np.int64), basket)
    item_prod = pick_product(txn_time[item_txn])
    del basket

    colptr: dict[str, np.ndarray] = {}
    row: dict[str, np.ndarray] = {}

    def put(et, cp_r):
        colptr[key(et)], row[key(et)] = cp_r

    # Repeated products in one basket collapse to a single line item so the
    # graph stays simple; deduping here (column = transaction) also defines
    # the line-item list reused by the other direction and by reviews.
    put(
        ("product", "rev_contains", "transaction"),
        _csc(item_txn, item_prod, n_txn, prod_rank, prod_at, dedupe=True),
    )
    cp = colptr[key(("product", "rev_contains", "transaction"))]
    item_prod = row[key(("product", "rev_contains", "transaction"))]
    item_txn = np.repeat(np.arange(n_txn, dtype=np.int64), np.diff(cp))

    put(("transaction", "contains", "product"), _csc(item_prod, item_txn, n_prod, txn_rank, txn_at))
    put(
        ("transaction", "bought_by", "customer"),
        _csc(txn_cust, np.arange(n_txn, dtype=np.int64), n_cust, txn_rank, txn_at),
    )
    put(
        ("customer", "rev_bought_by", "transaction"),
        _csc(np.arange(n_txn, dtype=np.int64), txn_cust, n_txn, cust_rank, cust_at),
    )

    # Reviews are written about purchased line items, which makes review
    # degrees inherit the purchase power law and keeps review time after the
    # purchase (hence after the customer's and product's own times).
    li = rng.integers(0, item_txn.shape[0], size=n_rev, dtype=np.int64)
    rev_txn = item_txn[li]
    rev_prod = item_prod[li]
    rev_cust = txn_cust[rev_txn]
    delay = rng.exponential(_REVIEW_DELAY_MEAN, size=n_rev).astype(np.int64)
    rev_time = np.minimum(txn_time[rev_txn] + delay, _T_END)
    del li, rev_txn, delay, item_txn, item_prod

    rev_rank, rev_at = _time_rank(rev_time)
    rev_ids = np.arange(n_rev, dtype=np.int64)
    put(("review", "written_by", "customer"), _csc(rev_cust, rev_ids, n_cust, rev_rank, rev_at))
    put(
        ("customer", "rev_written_by", "review"), _csc(rev_ids, rev_cust, n_rev, cust_rank, cust_at)
    )
    put(("review", "about", "product"), _csc(rev_prod, rev_ids, n_prod, rev_rank, rev_at))
    put(("product", "rev_about", "review"), _csc(rev_ids, rev_prod, n_rev, prod_rank, prod_at))

    node_time = {
        "customer": cust_time,
        "product": prod_time,
        "transaction": txn_time,
        "review": rev_time,
    }
    node_time = {t: np.ascontiguousarray(a, dtype=np.int64) for t, a in node_time.items()}
    return Graph(
        node_types=list(NODE_TYPES),
        edge_types=list(EDGE_TYPES),
        colptr={k: colptr[k] for k in map(key, EDGE_TYPES)},
        row={k: row[k] for k in map(key, EDGE_TYPES)},
        node_time=node_time,
    )


# --------------------------------------------------------------------------
# validation
# --------------------------------------------------------------------------

_CHECK_CHUNK = 1 << 22  # bounds memory when validating memory-mapped graphs


def _fail(msg: str):
    raise AssertionError(msg)


def _check_array(name: str, a) -> None:
    if not isinstance(a, np.ndarray):
        _fail(f"{name}: expected numpy array, got {type(a).__name__}")
    if a.dtype != np.int64:
        _fail(f"{name}: dtype must be int64, got {a.dtype}")
    if a.ndim != 1:
        _fail(f"{name}: must be 1-D, got shape {a.shape}")
    if not a.flags.c_contiguous:
        _fail(f"{name}: must be C-contiguous")


def check_graph(graph: Graph, check_ties: bool = True) -> None:
    """Validate CSC invariants; raises AssertionError describing the first problem.

    Works chunk-wise over edges so it also runs on memory-mapped graphs larger
    than RAM.  With ``check_ties`` equal-time neighbours must be in
    non-decreasing id order as well.
    """
    if len(set(graph.node_types)) != len(graph.node_types):
        _fail(f"duplicate node types: {graph.node_types}")
    for t in graph.node_types:
        if t not in graph.node_time:
            _fail(f"node_time missing for node type {t!r}")
        _check_array(f"node_time[{t!r}]", graph.node_time[t])
    nn = graph.num_nodes()

    seen = set()
    for et in graph.edge_types:
        if len(et) != 3:
            _fail(f"edge type {et!r} is not a (src, rel, dst) triple")
        src, _, dst = et
        k = key(et)
        if k in seen:
            _fail(f"duplicate edge type {et!r}")
        seen.add(k)
        for t in (src, dst):
            if t not in nn:
                _fail(f"{k}: node type {t!r} not in node_types")
        if k not in graph.colptr or k not in graph.row:
            _fail(f"{k}: missing colptr or row array")
        cp, rw = graph.colptr[k], graph.row[k]
        _check_array(f"colptr[{k!r}]", cp)
        _check_array(f"row[{k!r}]", rw)

        if cp.shape[0] != nn[dst] + 1:
            _fail(
                f"{k}: colptr has {cp.shape[0]} entries, "
                f"expected num_nodes[{dst!r}] + 1 = {nn[dst] + 1}"
            )
        if cp[0] != 0:
            _fail(f"{k}: colptr[0] = {int(cp[0])}, expected 0")
        if cp[-1] != rw.shape[0]:
            _fail(f"{k}: colptr[-1] = {int(cp[-1])} but len(row) = {rw.shape[0]}")
        for lo in range(0, cp.shape[0] - 1, _CHECK_CHUNK):
            c = np.asarray(cp[lo : lo + _CHECK_CHUNK + 1])
            d = np.diff(c)
            if (d < 0).any():
                i = lo + int(np.argmax(d < 0))
                _fail(f"{k}: colptr decreases at column {i}: {int(cp[i])} -> {int(cp[i + 1])}")

        n_src = nn[src]
        t_src = graph.node_time[src]
        n_e = rw.shape[0]
        for lo in range(0, n_e, _CHECK_CHUNK):
            hi = min(n_e, lo + _CHECK_CHUNK)
            r = np.asarray(rw[lo:hi])
            bad = (r < 0) | (r >= n_src)
            if bad.any():
                i = int(np.argmax(bad))
                _fail(
                    f"{k}: row[{lo + i}] = {int(r[i])} out of range [0, {n_src}) "
                    f"for source type {src!r}"
                )
            # One element of overlap so pairs straddling a chunk boundary are checked.
            a = max(lo - 1, 0)
            r = np.asarray(rw[a:hi])
            if r.shape[0] < 2:
                continue
            pos = np.arange(a, hi, dtype=np.int64)
            col = np.searchsorted(cp, pos, side="right") - 1
            t = t_src[r]
            same = col[1:] == col[:-1]
            bad = same & (t[1:] < t[:-1])
            if check_ties:
                bad |= same & (t[1:] == t[:-1]) & (r[1:] < r[:-1])
            if bad.any():
                i = int(np.argmax(bad))
                p = a + i
                _fail(
                    f"{k}: column {int(col[i])} ({dst!r}) not sorted by neighbour time"
                    f"{' then id' if check_ties else ''} at positions {p},{p + 1}: "
                    f"(id {int(r[i])}, time {int(t[i])}) "
                    f"before (id {int(r[i + 1])}, time {int(t[i + 1])})"
                )


# --------------------------------------------------------------------------
# persistence
# --------------------------------------------------------------------------


def _fname(kind: str, name: str) -> str:
    return f"{kind}__{name}.npy"


def save(graph: Graph, directory: str, meta: dict | None = None) -> None:
    """Write each array as its own .npy plus a JSON manifest ``graph.json``."""
    os.makedirs(directory, exist_ok=True)
    files = {"colptr": {}, "row": {}, "node_time": {}}
    for t in graph.node_types:
        files["node_time"][t] = _fname("node_time", t)
        np.save(
            os.path.join(directory, files["node_time"][t]),
            np.ascontiguousarray(graph.node_time[t], dtype=np.int64),
        )
    for et in graph.edge_types:
        k = key(et)
        for kind, arrs in (("colptr", graph.colptr), ("row", graph.row)):
            files[kind][k] = _fname(kind, k)
            np.save(
                os.path.join(directory, files[kind][k]),
                np.ascontiguousarray(arrs[k], dtype=np.int64),
            )
    manifest = {
        "format": 1,
        "node_types": list(graph.node_types),
        "edge_types": [list(et) for et in graph.edge_types],
        "num_nodes": graph.num_nodes(),
        "num_edges": graph.num_edges_by_type(),
        "files": files,
        "meta": meta or {},
    }
    # Manifest last: its presence marks a complete save.
    tmp = os.path.join(directory, MANIFEST + ".tmp")
    with open(tmp, "w") as fh:
        json.dump(manifest, fh, indent=1)
    os.replace(tmp, os.path.join(directory, MANIFEST))


def load(directory: str, mmap: bool = True) -> Graph:
    """Load a graph written by :func:`save`; memory-maps arrays when ``mmap``."""
    with open(os.path.join(directory, MANIFEST)) as fh:
        manifest = json.load(fh)
    mode = "r" if mmap else None

    def ld(name):
        a = np.load(os.path.join(directory, name), mmap_mode=mode, allow_pickle=False)
        if a.dtype != np.int64 or a.ndim != 1:
            raise ValueError(f"{name}: expected 1-D int64, got {a.dtype} shape {a.shape}")
        return a

    files = manifest["files"]
    node_types = list(manifest["node_types"])
    edge_types = [tuple(et) for et in manifest["edge_types"]]
    return Graph(
        node_types=node_types,
        edge_types=edge_types,
        colptr={key(et): ld(files["colptr"][key(et)]) for et in edge_types},
        row={key(et): ld(files["row"][key(et)]) for et in edge_types},
        node_time={t: ld(files["node_time"][t]) for t in node_types},
    )


# --------------------------------------------------------------------------
# command line
# --------------------------------------------------------------------------


def _describe(graph: Graph) -> str:
    lines = []
    nn = graph.num_nodes()
    lines.append(f"nodes: {sum(nn.values()):,} " + " ".join(f"{t}={c:,}" for t, c in nn.items()))
    lines.append(f"edges: {graph.num_edges():,}")
    ne = graph.num_edges_by_type()
    md = graph.max_degree()
    for et in graph.edge_types:
        k = key(et)
        mean = ne[k] / max(1, nn[et[2]])
        lines.append(f"  {k:<40} edges={ne[k]:>12,}  max_deg={md[k]:>9,}  mean_deg={mean:8.2f}")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument(
        "--scale",
        default="default",
        help=f"one of {sorted(SCALES)} or a float factor relative to 'default'",
    )
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--out", default=None, help="directory to save into (omit to only generate)")
    ap.add_argument("--check", action="store_true", help="run check_graph after generating")
    args = ap.parse_args(argv)
    scale = args.scale if args.scale in SCALES else float(args.scale)

    t0 = time.perf_counter()
    g = generate(scale, args.seed)
    t_gen = time.perf_counter() - t0
    print(f"generated scale={args.scale} seed={args.seed} in {t_gen:.2f}s")
    print(_describe(g))
    if args.check:
        t0 = time.perf_counter()
        check_graph(g)
        print(f"check_graph passed in {time.perf_counter() - t0:.2f}s")
    if args.out:
        t0 = time.perf_counter()
        save(g, args.out, meta={"scale": args.scale, "seed": args.seed})
        print(f"saved to {args.out} in {time.perf_counter() - t0:.2f}s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
