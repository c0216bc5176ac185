"""The graph in the form the native sampler reads: per edge type a CSC adjacency in int64 arrays.

Column ``v`` of edge type ``(src, rel, dst)`` lists the ``src`` nodes with an edge into ``dst``
node ``v``, which is the direction PyG's message passing runs (``edge_index[0]`` sends to
``edge_index[1]``). When the source type has times, each column lists its neighbours by
non-decreasing time (ties in edge order), because the timed modes bisect columns.

Conversion needs, per edge type, about 26 bytes per edge on top of the graph while it runs (the
sort's key and permutation, the new ``row``; a 100M-edge type: about 2.6 GB), of which the 8 of
``row`` stay. It is done once per sampler; the result can be saved with ``numpy.save`` and passed
back memory-mapped (``csc=``), which skips it entirely.
"""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np

EdgeType = tuple[str, str, str]


def edge_key(edge_type: EdgeType) -> str:
    """The module's name of an edge type."""
    return "__".join(edge_type)


def as_int64(value, what: str) -> np.ndarray:
    """A 1-D int64 NumPy array of ``value`` (a tensor or an array), without a copy where the
    value already is one. Float and bool values are refused: times and ids are integers here, and
    rounding them silently would move neighbours across a seed's time."""
    if hasattr(value, "detach"):  # a torch.Tensor; the CPU copy is the caller's
        value = value.detach().cpu().numpy()
    array = np.asarray(value)
    if array.dtype.kind not in "iu":
        hint = "Store times as integers, e.g. seconds since the epoch: `time.long()`."
        raise ValueError(
            f"{what} has dtype {array.dtype}, but tovalib_pyg needs integer values (int64)."
            + ("" if "time" not in what else " " + hint)
        )
    if array.dtype.kind == "u" and array.size and array.max() > np.iinfo(np.int64).max:
        raise ValueError(f"{what} holds {array.max()}, which int64 cannot hold.")
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {tuple(array.shape)}.")
    return np.ascontiguousarray(array, dtype=np.int64)


def to_csc(
    edge_index: Mapping[EdgeType, object],
    num_nodes: Mapping[str, int],
    node_time: Mapping[str, np.ndarray] | None = None,
    is_sorted: bool = False,
) -> dict[EdgeType, tuple[np.ndarray, np.ndarray]]:
    """Per edge type ``(colptr, row)`` out of a ``[2, num_edges]`` edge index.

    - ``num_nodes``: per node type, its number of nodes (``colptr`` has one more entry).
    - ``node_time``: per node type, int64 times; a source type found here has its columns sorted
      by time.
    - ``is_sorted``: the edge index is already sorted by destination (and by source time within
      a destination when timed), as PyG's ``is_sorted`` means: no sort, only ``colptr`` is built.
    """
    node_time = node_time or {}
    ranks: dict[str, tuple[np.ndarray, int]] = {}
    csc = {}
    for edge_type, index in edge_index.items():
        src, _, dst = edge_type
        if hasattr(index, "detach"):
            index = index.detach().cpu().numpy()
        index = np.asarray(index)
        if index.ndim != 2 or index.shape[0] != 2:
            raise ValueError(
                f"data[{edge_type!r}].edge_index must have shape [2, num_edges], "
                f"got {list(index.shape)}."
            )
        source = as_int64(index[0], f"data[{edge_type!r}].edge_index")
        target = as_int64(index[1], f"data[{edge_type!r}].edge_index")
        n_dst = int(num_nodes[dst])
        for ids, node_type in ((source, src), (target, dst)):
            _check_range(ids, node_type, int(num_nodes[node_type]), edge_type)
        if is_sorted:
            _check_sorted(target, source, node_time.get(src), edge_type)
        else:
            order = _column_order(target, source, src, node_time, ranks)
            source, target = source[order], target[order]
        colptr = np.zeros(n_dst + 1, dtype=np.int64)
        np.cumsum(np.bincount(target, minlength=n_dst), out=colptr[1:])
        csc[edge_type] = (colptr, source)
    return csc


def _check_range(ids: np.ndarray, node_type: str, size: int, edge_type: EdgeType) -> None:
    if ids.size and (ids.min() < 0 or ids.max() >= size):
        bad = int(ids.min()) if ids.min() < 0 else int(ids.max())
        raise IndexError(
            f"data[{edge_type!r}].edge_index refers to node {bad} of type {node_type!r}, "
            f"which has {size} nodes."
        )


def _column_order(target, source, src, node_time, ranks) -> np.ndarray:
    """The edges' order by destination, then source time, then position. One stable sort of a
    single int64 key is three times as fast as ``np.lexsort`` of two; times become their rank
    among the source type's distinct times, so that the key fits whatever their range."""
    if src not in node_time:
        return np.argsort(target, kind="stable")
    if src not in ranks:
        distinct, rank = np.unique(node_time[src], return_inverse=True)
        ranks[src] = (rank.astype(np.int64).reshape(-1), distinct.size)
    rank, count = ranks[src]
    if target.size and int(target.max()) >= np.iinfo(np.int64).max // max(count, 1):
        return np.lexsort((rank[source], target))  # a key would overflow: sort by two
    return np.argsort(target * count + rank[source], kind="stable")


def _check_sorted(target, source, source_time, edge_type) -> None:
    """``is_sorted`` is a promise that skips the sort; a broken one would give columns of other
    nodes' edges, so it is checked in one pass."""
    later = target[1:] >= target[:-1]
    if source_time is not None and target.size:
        times = source_time[source]
        later &= (target[1:] != target[:-1]) | (times[1:] >= times[:-1])
    if not later.all():
        raise ValueError(
            f"is_sorted=True, but data[{edge_type!r}].edge_index is not sorted by destination"
            + (" and, within a destination, by source time" if source_time is not None else "")
            + ": leave 'is_sorted' out to have it sorted."
        )
