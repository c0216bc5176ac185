"""``TovalibSampler``: PyG's ``BaseSampler`` over tovalib's native per-seed sampler.

Arguments follow ``torch_geometric.sampler.NeighborSampler``; what the native sampler cannot do
is refused when the sampler is built, with what to use instead. A ``NodeLoader`` given this
sampler yields the batches PyG's own sampler gives with ``disjoint=True``: seeds first, nodes
ordered hop by hop (so ``trim_to_layer`` works), ``batch`` naming each node's seed.

Each process builds its own native sampler on first use; the converted graph is built once, in
the process that makes this object, and forked loader workers share its pages.
"""

from __future__ import annotations

import os
import sys
import warnings

import numpy as np
import torch
from torch_geometric.data import Data, HeteroData
from torch_geometric.sampler import (
    BaseSampler,
    HeteroSamplerOutput,
    NodeSamplerInput,
    SamplerOutput,
)

import tovalib

from .csc import EdgeType, as_int64, edge_key, to_csc

# A homogeneous graph is sampled as one node type and one edge type of these names.
NODE = "_N"
EDGE = (NODE, "to", NODE)

# The native sampler's seed is a signed 32-bit integer.
SEED_RANGE = 2**31

NO_TIME = np.empty(0, dtype=np.int64)


def refusal(argument: str, instead: str) -> ValueError:
    return ValueError(f"tovalib_pyg does not support {argument}; {instead}")


def check_arguments(
    replace, subgraph_type, disjoint, temporal_strategy, weight_attr, directed, time_attr
):
    """Refuses what the native sampler cannot do, naming what does the job instead."""
    if replace:
        raise refusal("'replace=True'", "it samples without replacement: leave 'replace' at False.")
    if not disjoint:
        raise refusal(
            "'disjoint=False'",
            "it always samples one subgraph per seed (PyG's 'disjoint=True'): leave 'disjoint' "
            "out. Each node's 'batch' entry names the seed it belongs to.",
        )
    if temporal_strategy == "uniform" and time_attr is not None:  # without time, it means nothing
        raise refusal(
            "temporal_strategy='uniform'",
            "use temporal_strategy='last' (the most recent neighbours not later than the seed "
            "time) or 'time_windows' (every neighbour within a per-hop time window).",
        )
    if temporal_strategy not in ("last", "uniform"):
        raise ValueError(f"Unknown temporal_strategy {temporal_strategy!r}; use 'last'.")
    subgraph_type = getattr(subgraph_type, "value", subgraph_type)
    if subgraph_type != "directional" or not directed:
        raise refusal(
            f"subgraph_type={subgraph_type!r}" if directed else "'directed=False'",
            "it returns the sampled edges only (subgraph_type='directional'); add reverse "
            "edges to a batch with torch_geometric.transforms.ToUndirected().",
        )
    if weight_attr is not None:
        raise refusal(
            "biased sampling ('weight_attr')",
            "neighbours are drawn uniformly, or by time with 'time_attr'.",
        )


def node_times(data, num_nodes, time_attr) -> dict[str, np.ndarray]:
    """Per node type that has the attribute, its times as int64, one per node; refuses
    edge-level times, which the native sampler has no notion of."""
    if time_attr is None:
        return {}
    hetero = isinstance(data, HeteroData)
    edge_stores = data.edge_stores if hetero else [data]
    on_edges = any(time_attr in store and store.is_edge_attr(time_attr) for store in edge_stores)
    times = {}
    for node_type, count in num_nodes.items():
        store = data[node_type] if hetero else data
        # A node store's attribute is the nodes' whatever its length (PyG tells node from edge
        # attributes by length, so a short one would pass for neither and be dropped).
        if time_attr not in store or (not hetero and on_edges):
            continue
        name = f"data[{node_type!r}].{time_attr}" if hetero else f"data.{time_attr}"
        times[node_type] = as_int64(store[time_attr], name)
        if times[node_type].size != count:
            raise ValueError(
                f"{name} has {times[node_type].size} entries, but there are {count} nodes: "
                "'time_attr' needs one time per node."
            )
    if on_edges:
        raise refusal(
            f"edge-level time (time_attr={time_attr!r} is an edge attribute)",
            "it samples by node time: give the nodes their times (e.g. make each timed event a "
            "node type with a 'time' attribute), and drop or rename the edge attribute.",
        )
    if not times:
        raise ValueError(f"time_attr={time_attr!r} is an attribute of no node type of the graph.")
    return times


def edge_type_of(key, edge_types, argument: str) -> EdgeType:
    """An edge type as PyG accepts it, a triple or its "src__rel__dst" string, as a triple."""
    for edge_type in edge_types:
        if key == edge_type or key == edge_key(edge_type):
            return edge_type
    if argument == "csc" and isinstance(key, str) and len(key.split("__")) == 3:
        return tuple(key.split("__"))
    if argument == "csc" and isinstance(key, tuple) and len(key) == 3:
        return key
    raise ValueError(
        f"{argument!r} names edge type {key!r}, which is not in the graph "
        f"(edge types: {edge_types})."
    )


def fan_outs(num_neighbors, edge_types, windowed, hetero) -> dict[EdgeType, list[int]]:
    """``num_neighbors`` as a list per edge type not sampled by window."""
    sampled = [et for et in edge_types if et not in windowed]
    if hasattr(num_neighbors, "get_values"):  # PyG's NumNeighbors, maybe with a default
        num_neighbors = num_neighbors.get_values(edge_types if hetero else None)
        if isinstance(num_neighbors, dict):
            num_neighbors = {et: k for et, k in num_neighbors.items() if et not in windowed}
    if not isinstance(num_neighbors, dict):
        return {et: list(num_neighbors) for et in sampled}
    num_neighbors = {
        edge_type_of(et, edge_types, "num_neighbors"): k for et, k in num_neighbors.items()
    }
    both = [et for et in num_neighbors if et in windowed]
    if both:
        raise ValueError(
            f"Edge type {both[0]!r} is in both 'num_neighbors' and 'time_windows'; "
            "give it in one of them."
        )
    missing = [et for et in sampled if et not in num_neighbors]
    if missing:
        raise ValueError(
            f"'num_neighbors' has no entry for edge type {missing[0]!r}; give a list for every "
            "edge type in data.edge_types (an empty list samples none), or one list for all."
        )
    return {et: list(num_neighbors[et]) for et in sampled}


def window_arrays(time_windows, edge_types, timed_types) -> dict[EdgeType, np.ndarray]:
    """``time_windows`` as an ``(hops, 2)`` array per edge type sampled by window."""
    if time_windows is None:
        return {}
    if isinstance(time_windows, dict):
        per_type = {
            edge_type_of(et, edge_types, "time_windows"): w for et, w in time_windows.items()
        }
        for et in per_type:
            if et[0] not in timed_types:
                raise ValueError(
                    f"'time_windows' names edge type {et!r}, but its source node type "
                    f"{et[0]!r} has no time attribute."
                )
    else:
        per_type = {et: time_windows for et in edge_types if et[0] in timed_types}
    return {et: window_array(windows, et) for et, windows in per_type.items()}


def window_array(windows, edge_type) -> np.ndarray:
    shape = (
        "'time_windows' must be a list of (lower, upper) pairs of integer offsets from the seed "
        "time, one pair per hop (lower may be None), or a dict of such lists per edge type"
    )
    if not isinstance(windows, (list, tuple)) or not all(
        isinstance(w, (list, tuple)) and len(w) == 2 for w in windows
    ):
        raise ValueError(f"{shape}; at {edge_type!r} it is {windows!r}.")
    for lower, upper in windows:
        for bound in (upper,) if lower is None else (lower, upper):
            integer = isinstance(bound, (int, np.integer)) and not isinstance(bound, bool)
            if not integer or not -(2**63) <= int(bound) < 2**63:
                raise ValueError(f"{shape}; at {edge_type!r} it holds the bound {bound!r}.")
    has_none = any(lower is None for lower, _ in windows)
    return np.array(windows, dtype=object if has_none else np.int64).reshape(-1, 2)


def seed_untimed_message(node_type: str, time_attr: str) -> str:
    return (
        f"The seed node type {node_type!r} has no {time_attr!r} attribute, so seeds have no "
        f"time: give the loader 'input_time', or add data[{node_type!r}].{time_attr}."
    )


def caller_stacklevel() -> int:
    """The stack level of the first caller outside this package, for a warning to point at."""
    frame, level = sys._getframe(1), 1
    while frame is not None and frame.f_globals.get("__name__", "").startswith(__package__):
        frame, level = frame.f_back, level + 1
    return level


class TovalibSampler(BaseSampler):
    r"""Per-seed neighbour sampling of a :class:`~torch_geometric.data.HeteroData` or
    :class:`~torch_geometric.data.Data` graph by tovalib's native sampler, as a
    :class:`~torch_geometric.sampler.BaseSampler` for :class:`~torch_geometric.loader.NodeLoader`.

    Arguments are those of :class:`torch_geometric.sampler.NeighborSampler`, with these
    differences:

    - ``disjoint`` is always ``True`` and ``temporal_strategy`` is ``"last"``: with ``time_attr``,
      an edge type whose source nodes have times takes the ``k`` most recent neighbours not later
      than the seed time. Node types without the attribute are sampled uniformly.
    - ``time_windows``: per hop a ``(lower, upper)`` pair of offsets from the seed time; every
      neighbour with ``seed_time + lower < time <= seed_time + upper`` is taken (``lower=None``:
      everything up to ``upper``). A list applies to every edge type whose source type has times,
      a dict to the edge types it names. Those edge types take no ``num_neighbors`` entry.
    - ``csc``: the graph already in CSC form, per edge type ``(colptr, row)`` int64 arrays (e.g.
      ``numpy.load(path, mmap_mode="r")``, as :func:`tovalib_pyg.to_csc` writes them), used as
      they are; ``data`` then needs no ``edge_index``. Columns must be sorted by source time
      where timed. A ``NodeLoader`` puts a batch's edges only where its data holds an
      ``edge_index``: give it :func:`tovalib_pyg.with_edge_stores` ``(data, sampler.edge_types)``.
    - Times are int64; no edge ids are returned, so edge attributes are left out of batches.
    - Edge types may be given as triples or as PyG's ``"src__rel__dst"`` strings, fan-outs also
      as a ``NumNeighbors``.
    - Seeds: a loader worker seeds its native sampler from torch's per-worker seed; in the main
      process, :class:`tovalib_pyg.NeighborLoader` gives it a seed per epoch, and without one
      each call draws its seed from torch's default generator.
    """

    def __init__(
        self,
        data: Data | HeteroData,
        num_neighbors,
        subgraph_type="directional",
        replace: bool = False,
        disjoint: bool = True,
        temporal_strategy: str = "last",
        time_attr: str | None = None,
        weight_attr: str | None = None,
        is_sorted: bool = False,
        share_memory: bool = False,
        directed: bool = True,
        time_windows=None,
        csc=None,
    ):
        check_arguments(
            replace, subgraph_type, disjoint, temporal_strategy, weight_attr, directed, time_attr
        )
        if time_windows is not None and time_attr is None:
            raise ValueError(
                "'time_windows' needs 'time_attr': windows are relative to seed times."
            )
        self.is_hetero = isinstance(data, HeteroData)
        if not self.is_hetero and not isinstance(data, Data):
            raise TypeError(
                f"tovalib_pyg samples from Data or HeteroData, not {type(data).__name__}; "
                "load the graph's edges and attributes into one of them."
            )
        self.node_types = list(data.node_types) if self.is_hetero else [NODE]
        self.num_nodes = (
            {t: data[t].num_nodes for t in self.node_types}
            if self.is_hetero
            else {NODE: data.num_nodes}
        )
        for node_type, count in self.num_nodes.items():
            if count is None:
                raise ValueError(
                    f"data[{node_type!r}] holds nothing to count its nodes by: set "
                    f"data[{node_type!r}].num_nodes."
                )
        # The graph's edge types, then those only the CSC form holds; CSC arrays win where given.
        stored = list(data.edge_types) if self.is_hetero else [EDGE]
        if csc is None:
            csc = {}
        elif self.is_hetero:
            csc = {edge_type_of(et, stored, "csc"): arrays for et, arrays in csc.items()}
        else:
            csc = {EDGE: csc}
        self.edge_types = stored + [et for et in csc if et not in stored]
        for et in self.edge_types:
            for t in (et[0], et[2]):
                if t not in self.num_nodes:
                    raise ValueError(f"Edge type {et!r} refers to node type {t!r}, not in data.")
        self.node_time = node_times(data, self.num_nodes, time_attr)
        self.time_attr = time_attr
        self._warn_dropped_edge_attributes(data)
        self._warn_edges_not_held(data, csc)

        to_convert = {
            et: (data[et].edge_index if self.is_hetero else data.edge_index)
            for et in self.edge_types
            if et not in csc
        }
        csc.update(to_csc(to_convert, self.num_nodes, self.node_time, is_sorted))
        self.colptr = {edge_key(et): as_int64(csc[et][0], f"csc[{et!r}] colptr") for et in csc}
        self.row = {edge_key(et): as_int64(csc[et][1], f"csc[{et!r}] row") for et in csc}
        for et in self.edge_types:
            if self.colptr[edge_key(et)].size != self.num_nodes[et[2]] + 1:
                raise ValueError(
                    f"csc[{et!r}] has {self.colptr[edge_key(et)].size} colptr entries, but "
                    f"data[{et[2]!r}] has {self.num_nodes[et[2]]} nodes: colptr needs one more "
                    "entry than its destination type has nodes."
                )

        windows = window_arrays(time_windows, self.edge_types, self.node_time)
        self.num_neighbors = fan_outs(num_neighbors, self.edge_types, windows, self.is_hetero)
        self.windows = windows
        # A list of fan-outs names the hop count even where windows take every edge type.
        listed = [num_neighbors] if isinstance(num_neighbors, (list, tuple)) else []
        hops = max(len(k) for k in [*self.num_neighbors.values(), *windows.values(), *listed, []])
        for et, window in windows.items():
            if len(window) < hops:
                raise ValueError(
                    f"'time_windows' at {et!r} gives {len(window)} hop(s), but the sampler runs "
                    f"{hops} (the longest list in 'num_neighbors' or 'time_windows'): give a "
                    "window for every hop."
                )
        self._fan_outs = {
            edge_key(et): np.array(k, dtype=np.int64) for et, k in self.num_neighbors.items()
        }
        self._windows = {edge_key(et): w for et, w in windows.items()}
        self._to_edge_type = {edge_key(et): et for et in self.edge_types}
        # Only fan-outs over source types without times draw random numbers; where there are none,
        # a seed changes nothing, so one native sampler serves the process for every epoch and
        # keeps the buffers it grew on its first batches.
        self._draws = any(et[0] not in self.node_time for et in self.num_neighbors)
        self._base_seed = None
        # The module's own checks (keys, ranks) run now, not at the first batch.
        self._native = self._build(seed=0)
        self._native_pid = os.getpid()

    def _warn_dropped_edge_attributes(self, data) -> None:
        stores = data.edge_stores if self.is_hetero else [data]
        dropped = sorted(
            {
                key
                for store in stores
                for key in store.keys()  # noqa: SIM118 (a storage is no dict)
                if key not in ("edge_index", "adj_t") and store.is_edge_attr(key)
            }
        )
        if dropped:
            warnings.warn(
                f"tovalib_pyg returns no edge ids, so the edge attributes {dropped} are left out "
                "of every batch.",
                UserWarning,
                stacklevel=caller_stacklevel(),
            )

    def _warn_edges_not_held(self, data, csc) -> None:
        stores = dict(data.edge_items()) if self.is_hetero else {EDGE: data}
        unheld = [et for et in csc if et not in stores or "edge_index" not in stores[et]]
        if unheld:
            warnings.warn(
                "PyG's NodeLoader puts a batch's edges only where its data holds an edge_index, "
                f"and this data holds none for {unheld}: give NodeLoader "
                "tovalib_pyg.with_edge_stores(data, sampler.edge_types) as its data, or use "
                "tovalib_pyg.NeighborLoader.",
                UserWarning,
                stacklevel=caller_stacklevel(),
            )

    # The native sampler cannot be pickled or shared between processes: each builds its own.
    def __getstate__(self):
        return {**self.__dict__, "_native": None, "_native_pid": None}

    def reseed(self, base_seed: int) -> None:
        """Seeds this process's native sampler from ``base_seed`` (a loader's per-epoch seed): one
        that draws random numbers is replaced, its random stream starting afresh."""
        self._base_seed = int(base_seed)
        if self._draws:
            # Built before the old one goes, so that the result memory the process pools for its
            # samplers is kept for the new one.
            self._native = self._build(self._base_seed % SEED_RANGE)
            self._native_pid = os.getpid()

    def _build(self, seed: int) -> tovalib.NeighborSampler:
        return tovalib.NeighborSampler(
            self.node_types, self.edge_types, self.colptr, self.row, self.node_time, seed=seed
        )

    def _native_sampler(self) -> tovalib.NeighborSampler:
        """This process's native sampler. A loader worker seeds its own from torch's per-worker
        seed, the main process from the epoch seed a loader gave (``reseed``); without one, each
        call that would draw random numbers draws its seed from torch's default generator, as
        PyG's own sampler draws from it."""
        worker = torch.utils.data.get_worker_info()
        if self._draws and worker is None and self._base_seed is None:
            return self._build(int(torch.randint(SEED_RANGE, ()).item()))
        if self._native is None or self._native_pid != os.getpid():
            if worker is not None:
                seed = worker.seed
            else:
                seed = 0 if self._base_seed is None else self._base_seed
            self._native = self._build(seed % SEED_RANGE)
            self._native_pid = os.getpid()
        return self._native

    def check_seed_times(self, input_type: str, input_time) -> None:
        """Refuses what would make every subgraph empty at the first batch: seeds without a time,
        or seed times so early that no edge type can reach a neighbour (almost always a unit
        mix-up, milliseconds against seconds)."""
        if not self.node_time:
            return
        if input_time is None:
            if input_type not in self.node_time:
                raise ValueError(seed_untimed_message(input_type, self.time_attr))
            return
        if input_time.numel() == 0:
            return
        latest = int(input_time.max())
        reach = []
        for et in self.edge_types:
            times = self.node_time.get(et[0])
            if times is None:
                return  # sampled whatever the seed time
            if times.size == 0:
                continue
            window = self.windows.get(et)
            upper = 0 if window is None else max(int(u) for u in window[:, 1])
            reach.append((latest + upper >= int(times.min()), et[0], int(times.min())))
        if reach and not any(ok for ok, _, _ in reach):
            _, node_type, earliest = min(reach, key=lambda item: item[2])
            raise ValueError(
                f"Every 'input_time' (latest {latest}) is earlier than the earliest "
                f"{self.time_attr!r} in the graph ({earliest}, in node type {node_type!r}), "
                f"so no neighbour can be sampled: are 'input_time' and "
                f"data[...].{self.time_attr} in the same unit?"
            )

    def seed_times(self, input_type: str, seeds: np.ndarray, time) -> np.ndarray:
        if not self.node_time:
            return NO_TIME
        if time is not None:
            return as_int64(time, "input_time")
        if input_type not in self.node_time:
            raise ValueError(seed_untimed_message(input_type, self.time_attr))
        return self.node_time[input_type][seeds]

    def sample_from_nodes(
        self, inputs: NodeSamplerInput, **kwargs
    ) -> SamplerOutput | HeteroSamplerOutput:
        input_type = inputs.input_type if self.is_hetero else NODE
        if input_type not in self.num_nodes:
            raise ValueError(f"Node type {input_type!r} is not in the graph ({self.node_types}).")
        seeds = as_int64(inputs.node, "input_nodes")
        size = self.num_nodes[input_type]
        if seeds.size and (seeds.min() < 0 or seeds.max() >= size):
            bad = int(seeds.min()) if seeds.min() < 0 else int(seeds.max())
            raise IndexError(f"Seed node {bad} is out of range for {input_type!r} ({size} nodes).")
        seed_time = self.seed_times(input_type, seeds, inputs.time)
        rows, cols, nodes, batch, nodes_per_hop, edges_per_hop = self._native_sampler().sample(
            self._fan_outs, self._windows, input_type, seeds, seed_time
        )
        metadata = (inputs.input_id, torch.from_numpy(seed_time) if self.node_time else None)
        to_tensor, to_type = torch.from_numpy, self._to_edge_type
        if not self.is_hetero:
            key = edge_key(EDGE)
            return SamplerOutput(
                node=to_tensor(nodes[NODE]),
                row=to_tensor(rows[key]),
                col=to_tensor(cols[key]),
                edge=None,
                batch=to_tensor(batch[NODE]),
                num_sampled_nodes=nodes_per_hop[NODE].tolist(),
                num_sampled_edges=edges_per_hop[key].tolist(),
                metadata=metadata,
            )
        return HeteroSamplerOutput(
            node={t: to_tensor(v) for t, v in nodes.items()},
            row={to_type[k]: to_tensor(v) for k, v in rows.items()},
            col={to_type[k]: to_tensor(v) for k, v in cols.items()},
            edge={to_type[k]: None for k in rows},
            batch={t: to_tensor(v) for t, v in batch.items()},
            num_sampled_nodes={t: v.tolist() for t, v in nodes_per_hop.items()},
            num_sampled_edges={to_type[k]: v.tolist() for k, v in edges_per_hop.items()},
            metadata=metadata,
        )

    def sample_from_edges(self, inputs, neg_sampling=None):
        raise NotImplementedError(
            "tovalib_pyg does not support link-level sampling ('sample_from_edges', "
            "LinkNeighborLoader); sample the links' end nodes as seeds with "
            "tovalib_pyg.NeighborLoader, or use torch_geometric.loader.LinkNeighborLoader."
        )

    @property
    def edge_permutation(self):
        return None
