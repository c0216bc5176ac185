# Type information for the tovalib extension module, which carries none of its own.
from typing import Any, Iterable, Mapping, Sequence, SupportsIndex

import numpy as np
import numpy.typing as npt

class NeighborSampler:
    """Samples one subgraph per seed node out of a heterogeneous, optionally temporal graph."""

    def __init__(
        self,
        node_types: Sequence[str | bytes],
        edge_types: Sequence[Sequence[str | bytes]],
        colptr: dict[Any, Any],
        row: dict[Any, Any],
        node_time: Mapping[Any, Any] | Iterable[tuple[Any, Any]],
        seed: SupportsIndex = 123,
    ) -> None: ...
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
    ]: ...
