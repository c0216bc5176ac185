# Type information and documentation for the tovalib extension module, which carries neither:
# its class and members have no docstrings of their own, only the signatures pybind11 writes.
from typing import Any, Iterable, Mapping, Sequence, SupportsIndex

import numpy as np
import numpy.typing as npt

class NeighborSampler:
    """Samples one subgraph per seed node out of a heterogeneous graph whose nodes may carry times.

    Each edge type (source, relation, destination) is given as a CSC adjacency in int64 arrays
    keyed "source__relation__destination": the neighbours of destination node v are
    row[colptr[v]:colptr[v + 1]]. The sampler reads these arrays in place and keeps a reference to
    each. One seeded MT19937 stream serves every call, so equal samplers given equal calls return
    equal results. A sampler serves one call at a time.
    """

    def __init__(
        self,
        node_types: Sequence[str | bytes],
        edge_types: Sequence[Sequence[str | bytes]],
        colptr: dict[Any, Any],
        row: dict[Any, Any],
        node_time: Mapping[Any, Any] | Iterable[tuple[Any, Any]],
        seed: SupportsIndex = 123,
    ) -> None:
        """Builds a sampler over a graph.

        node_types: the node-type names. edge_types: (source, relation, destination) triples.
        colptr, row: per edge-type key, the CSC offsets (indexed by destination id) and the source
        ids. node_time: per node type, one int64 time per node id; leave a type out, or pass {},
        for no times. seed: seed of the random stream (taken modulo 2**32).
        """
    def sample(
        self,
        num_neighbors: dict[Any, Any],
        sampling_time_offsets: dict[Any, Any],
        entity_table: str | bytes | bytearray,
        seed_node: npt.NDArray[Any],
        seed_time: npt.NDArray[Any],
    ) -> tuple[
        dict[str, npt.NDArray[np.int64]],
        dict[str, npt.NDArray[np.int64]],
        dict[str, npt.NDArray[np.int64]],
        dict[str, npt.NDArray[np.int64]],
        dict[str, npt.NDArray[np.int64]],
        dict[str, npt.NDArray[np.int64]],
    ]:
        """Samples the subgraph of every seed, hop by hop.

        num_neighbors: per edge-type key, an int64 fan-out per hop (-1 for all neighbours).
        sampling_time_offsets: per edge-type key, an (N, 2) array of per-hop (lower, upper) offsets
        from the seed time, lower may be None. Every edge type appears in exactly one of the two
        dicts. entity_table: the node type of the seeds. seed_node: their int64 ids.
        seed_time: one int64 time per seed, or an empty array to use the seeds' own times.

        Returns (sampled_row, sampled_col, node, batch, num_sampled_nodes, num_sampled_edges): per
        edge-type key the local source and destination index of every sampled edge and the edges
        per hop; per node type the global id and seed index of every sampled node and the nodes
        added by the seeds and by each hop. Raises RuntimeError, KeyError or IndexError on a
        malformed request.
        """
