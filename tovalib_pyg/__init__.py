"""PyTorch Geometric front end of tovalib: per-seed temporal neighbour sampling for PyG models.

``from tovalib_pyg import NeighborLoader`` stands in for ``torch_geometric.loader.NeighborLoader``
in node-level tasks; ``TovalibSampler`` is the ``BaseSampler`` behind it, for users who compose
``NodeLoader`` themselves. torch and torch_geometric are imported on first use of either, so
``tovalib_pyg.synthetic`` (the examples' and benchmarks' synthetic graph) needs only NumPy.
"""

import importlib

__all__ = ["NeighborLoader", "TovalibSampler", "to_csc", "with_edge_stores"]

_LAZY = {
    "NeighborLoader": ".loader",
    "TovalibSampler": ".sampler",
    "to_csc": ".csc",
    "with_edge_stores": ".loader",
}


def __getattr__(name):
    if name in _LAZY:
        return getattr(importlib.import_module(_LAZY[name], __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted([*globals(), *_LAZY])
