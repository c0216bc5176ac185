"""``NeighborLoader``: ``torch_geometric.loader.NeighborLoader`` with tovalib's sampler behind it.

For node-level tasks, changing the import is all a PyG user changes. The arguments are PyG's,
plus ``time_windows`` and ``csc`` (see :class:`TovalibSampler`); the batches are PyG's
``HeteroData`` (or ``Data``) with ``n_id``, ``batch``, ``num_sampled_nodes``,
``num_sampled_edges``, ``input_id``, ``batch_size`` and, when timed, ``seed_time``.
"""

from __future__ import annotations

import copy

import torch
from torch_geometric.data import Data, HeteroData
from torch_geometric.loader import NodeLoader
from torch_geometric.loader.utils import filter_edge_store_, filter_node_store_
from torch_geometric.sampler import HeteroSamplerOutput

from .csc import as_int64
from .sampler import EDGE, NODE, TovalibSampler, edge_type_of


class NeighborLoader(NodeLoader):
    r"""A data loader that samples one subgraph per seed node, hop by hop, with
    :class:`tovalib_pyg.TovalibSampler`.

    Takes the arguments of :class:`torch_geometric.loader.NeighborLoader`. ``disjoint`` is always
    ``True``; ``temporal_strategy`` is ``"last"`` (PyG's default ``"uniform"`` is refused with
    what to use instead), ``replace``, ``weight_attr`` and non-directional subgraphs are refused.
    Additional arguments: ``time_windows`` (per-hop time windows) and ``csc`` (the graph already
    in CSC form, skipping the conversion), as in :class:`TovalibSampler`.

    Random draws (uniform sampling, for edge types whose source has no time) are seeded per epoch
    from the loader's ``generator`` or ``torch.manual_seed``, and per worker as torch seeds its
    workers: the same seed and number of workers give the same batches. Most-recent and window
    sampling draw nothing, so where every node type has a time, batches do not depend on the
    number of workers. One conversion serves one loader: to share it between, say, training and
    validation loaders, give both the same ``neighbor_sampler``.
    """

    def __init__(
        self,
        data,
        num_neighbors,
        input_nodes=None,
        input_time=None,
        replace: bool = False,
        subgraph_type="directional",
        disjoint: bool = True,
        temporal_strategy: str = "last",
        time_attr: str | None = None,
        weight_attr: str | None = None,
        transform=None,
        transform_sampler_output=None,
        is_sorted: bool = False,
        filter_per_worker: bool | None = None,
        neighbor_sampler: TovalibSampler | None = None,
        directed: bool = True,
        time_windows=None,
        csc=None,
        **kwargs,
    ):
        if input_time is not None and time_attr is None:
            raise ValueError(
                "Received conflicting 'input_time' and 'time_attr' arguments: 'input_time' is "
                "set while 'time_attr' is not set."
            )
        input_type = input_nodes[0] if isinstance(input_nodes, (tuple, list)) else input_nodes
        hetero = isinstance(data, HeteroData)
        if hetero and isinstance(input_type, str) and input_type not in data.node_types:
            raise ValueError(
                f"'input_nodes' names node type {input_type!r}, which is not in the graph "
                f"(node types: {data.node_types})."
            )
        if csc is not None and isinstance(data, (Data, HeteroData)):
            # Edges of a graph given only in CSC form need stores to go into, here as in the batch.
            stored = list(data.edge_types) if hetero else []
            data = with_edge_stores(
                data, [edge_type_of(et, stored, "csc") for et in csc] if hetero else [EDGE]
            )
        if neighbor_sampler is None:
            neighbor_sampler = TovalibSampler(
                data,
                num_neighbors=num_neighbors,
                subgraph_type=subgraph_type,
                replace=replace,
                disjoint=disjoint,
                temporal_strategy=temporal_strategy,
                time_attr=time_attr,
                weight_attr=weight_attr,
                is_sorted=is_sorted,
                directed=directed,
                time_windows=time_windows,
                csc=csc,
            )
        if input_time is not None:
            input_time = torch.from_numpy(as_int64(input_time, "input_time"))
        if isinstance(neighbor_sampler, TovalibSampler):
            data = with_edge_stores(data, neighbor_sampler.edge_types)
        super().__init__(
            data=data,
            node_sampler=neighbor_sampler,
            input_nodes=input_nodes,
            input_time=input_time,
            transform=transform,
            transform_sampler_output=transform_sampler_output,
            filter_per_worker=filter_per_worker,
            **kwargs,
        )
        if input_time is not None and input_time.numel() != self.input_data.node.numel():
            raise ValueError(
                f"'input_time' holds {input_time.numel()} times for "
                f"{self.input_data.node.numel()} input nodes: give one time per input node."
            )
        if isinstance(neighbor_sampler, TovalibSampler):
            input_type = self.input_data.input_type if hetero else NODE
            neighbor_sampler.check_seed_times(input_type, input_time)

    def filter_fn(self, out):
        """PyG's ``filter_fn``; a ``HeteroData`` batch from this package's sampler is made by
        :func:`hetero_batch`, which gives the same batch without PyG's lookups by type (about a
        tenth of the loader's time per batch at 512 seeds)."""
        fast = (
            isinstance(out, HeteroSamplerOutput)
            and isinstance(self.node_sampler, TovalibSampler)
            and isinstance(self.data, HeteroData)
            and self.transform_sampler_output is None
        )
        if not fast:
            return super().filter_fn(out)
        data = hetero_batch(self.data, out, self.input_data.input_type)
        return data if self.transform is None else self.transform(data)

    def _get_iterator(self):
        iterator = super()._get_iterator()
        if self.num_workers == 0 and isinstance(self.node_sampler, TovalibSampler):
            # Workers seed from torch's per-worker seed; the main process from this epoch's base
            # seed, which torch drew from the loader's generator for the iterator.
            inner = getattr(iterator, "iterator", iterator)
            base_seed = getattr(inner, "_base_seed", None)
            if base_seed is None:
                base_seed = torch.empty((), dtype=torch.int64).random_(generator=self.generator)
            self.node_sampler.reseed(int(base_seed))
        return iterator


def with_edge_stores(data, edge_types):
    """``data``, or a shallow copy in which every sampled edge type has an ``edge_index``: PyG
    fills a batch's edges in only where the data holds one, and a graph given in CSC form may
    hold none."""
    if isinstance(data, HeteroData):
        stored = set(data.edge_types)  # data[et] would add a store for an unknown type
        missing = [et for et in edge_types if et not in stored or "edge_index" not in data[et]]
    else:
        missing = [] if "edge_index" in data else edge_types
    if not missing:
        return data
    data = copy.copy(data)
    for edge_type in missing:
        store = data[edge_type] if isinstance(data, HeteroData) else data
        store.edge_index = torch.empty(2, 0, dtype=torch.long)
    return data


def hetero_batch(data: HeteroData, out: HeteroSamplerOutput, input_type: str) -> HeteroData:
    """The batch PyG's ``NodeLoader.filter_fn`` makes of ``data`` for ``out``, from PyG's own
    store filters, called on each pair of stores directly instead of through ``HeteroData``'s item
    lookups: node attributes gathered at the sampled nodes, the sampled edges, edge attributes
    left out (``out`` holds no edge ids); then ``n_id``, ``e_id`` (of types not sampled),
    ``batch``, ``num_sampled_nodes``, ``num_sampled_edges``, and on the seed type ``input_id``,
    ``seed_time`` and ``batch_size``."""
    batch = copy.copy(data)
    stores = {}
    # Types of the data the sampler does not know get no nodes and no edges, as in PyG.
    nodes, edges = dict(out.node), dict(out.edge)
    for (node_type, store), out_store in zip(data.node_items(), batch.node_stores, strict=True):
        stores[node_type] = out_store
        if node_type not in nodes:
            nodes[node_type] = torch.empty(0, dtype=torch.long)
        filter_node_store_(store, out_store, nodes[node_type])
    for (edge_type, store), out_store in zip(data.edge_items(), batch.edge_stores, strict=True):
        stores[edge_type] = out_store
        if edge_type in out.row:
            row, col = out.row[edge_type], out.col[edge_type]
        else:
            row, col = torch.empty(0, dtype=torch.long), torch.empty(0, dtype=torch.long)
            edges.setdefault(edge_type, torch.empty(0, dtype=torch.long))
        filter_edge_store_(store, out_store, row, col, edges.get(edge_type))

    def store_of(key):  # a sampler shared between loaders may know types this data lacks
        return stores[key] if key in stores else batch[key]

    for key, index in nodes.items():
        if "n_id" not in store_of(key):
            store_of(key).n_id = index
    for key, edge in edges.items():
        if edge is not None and "e_id" not in store_of(key):
            store_of(key).e_id = edge
    for name, values in (
        ("batch", out.batch),
        ("num_sampled_nodes", out.num_sampled_nodes),
        ("num_sampled_edges", out.num_sampled_edges),
    ):
        for key, value in values.items():
            store_of(key)[name] = value
    seeds = store_of(input_type)
    seeds.input_id = out.metadata[0]
    seeds.seed_time = out.metadata[1]
    seeds.batch_size = out.metadata[0].size(0)
    return batch
