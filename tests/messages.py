"""Every error message the module produces, spelled once.

The messages are part of the module's contract: callers match on them, so the tests and the model
compare them exactly. Fixed texts are in capitals; templates are callables that take their fields
by name.
"""

# Construction and request checks of one dict entry, or of one request array.
invalid_type = "Invalid type '{key}' found in {name}.".format
entry_not_nd = "Type '{key}' in {name} is not {ndim}D.".format
entry_not_int64 = "Type '{key}' in {name} must have dtype int64.".format
array_not_nd = "{name} is not {ndim}D.".format
array_not_int64 = "{name} must have dtype int64.".format

# Construction: the graph as a whole.
unknown_node_type = (
    "Edge type '{key}' refers to node type '{node_type}', which is not in node_types.".format
)
_SHARED_KEY = "Edge types ('{}', '{}', '{}') and ('{}', '{}', '{}') share the key '{}'."


def shared_key(first, second, key):
    return _SHARED_KEY.format(*first, *second, key)


# Request checks.
invalid_entity = "Invalid entity table '{entity}'.".format
SIZE_MISMATCH = "'seed_node' and 'seed_time' size mismatch."
in_both = (
    "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. "
    "'{key}' appears in both."
).format
window_untimed = (
    "'sampling_time_offsets' contains '{key}' but {node_type} is not included in 'node_time'."
).format
window_shape = "'sampling_time_offsets' at '{key}' does not have shape (N, 2).".format

# Reads during the hop loop.
UNSORTED = "Found invalid non-sorted temporal neighborhood"
colptr_range = (
    "Node {node} of type '{node_type}' is out of range for 'colptr' at '{key}' (size {size})."
).format
row_span = (
    "Neighbourhood of node {node} at '{key}' spans {start} to {end}, outside 'row' (size {size})."
).format
node_time_range = (
    "Node {node} of type '{node_type}' is out of range for 'node_time' (size {size})."
).format

# A window bound that is not an integer, as pybind11 words a failed cast.
CAST_PREFIX = "Unable to cast Python instance of type "
cast = (
    CAST_PREFIX + "{type} to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile"
    " in debug mode for details)"
).format

# An array whose dtype or shape the caller's own code changed after it was checked.
CHANGED_AFTER_CHECK = "An array's dtype or shape changed after it was checked."
# An array the sampler reads in place that was given new memory (its old memory freed) since.
MOVED_AFTER_CHECK = "An array's memory moved after it was checked."
# Misuse of the object itself.
ALREADY_SAMPLING = "sample() called on a NeighborSampler that is already sampling."
INIT_NOT_RUN = "sample() called on a NeighborSampler whose __init__ did not run."
ALREADY_INITIALISED = "__init__() called on a NeighborSampler that is already initialised."
# More seeds than one call can number.
TOO_MANY_SEEDS = "At most 4294967295 seeds fit in one call."
# pybind11's refusal of arguments it cannot convert; the text goes on to list the signatures.
INCOMPATIBLE_ARGUMENTS = "sample(): incompatible function arguments"
WRONG_PYTHON = (
    "ImportError: Python version mismatch: module was compiled for Python 3.10, but the "
    "interpreter version is incompatible: {}."
).format

# tovalib_pyg: what PyG users are refused, each with what to use instead.
PYG_DISJOINT = (
    "tovalib_pyg does not support 'disjoint=False'; it always samples one subgraph per seed "
    "(PyG's 'disjoint=True'): leave 'disjoint' out. Each node's 'batch' entry names the seed it "
    "belongs to."
)
PYG_UNIFORM = (
    "tovalib_pyg does not support temporal_strategy='uniform'; use temporal_strategy='last' (the "
    "most recent neighbours not later than the seed time) or 'time_windows' (every neighbour "
    "within a per-hop time window)."
)
PYG_REPLACE = (
    "tovalib_pyg does not support 'replace=True'; it samples without replacement: leave "
    "'replace' at False."
)
pyg_subgraph = (
    "tovalib_pyg does not support subgraph_type={kind!r}; it returns the sampled edges only "
    "(subgraph_type='directional'); add reverse edges to a batch with "
    "torch_geometric.transforms.ToUndirected()."
).format
PYG_WEIGHT = (
    "tovalib_pyg does not support biased sampling ('weight_attr'); neighbours are drawn "
    "uniformly, or by time with 'time_attr'."
)
pyg_edge_time = (
    "tovalib_pyg does not support edge-level time (time_attr={attr!r} is an edge attribute); it "
    "samples by node time: give the nodes their times"
).format
pyg_integer_values = (
    "{what} has dtype {dtype}, but tovalib_pyg needs integer values (int64). Store times as "
    "integers, e.g. seconds since the epoch: `time.long()`."
).format
PYG_LINK_LEVEL = (
    "tovalib_pyg does not support link-level sampling ('sample_from_edges', "
    "LinkNeighborLoader); sample the links' end nodes as seeds with tovalib_pyg.NeighborLoader, "
    "or use torch_geometric.loader.LinkNeighborLoader."
)
# tovalib_pyg: the first-minute mistakes, in PyG's terms.
pyg_missing_edge_type = (
    "'num_neighbors' has no entry for edge type {edge_type!r}; give a list for every edge type "
    "in data.edge_types (an empty list samples none), or one list for all."
).format
pyg_unknown_node_type = (
    "'input_nodes' names node type {node_type!r}, which is not in the graph (node types: "
).format
pyg_seed_untimed = (
    "The seed node type {node_type!r} has no {attr!r} attribute, so seeds have no time: give "
    "the loader 'input_time', or add data[{node_type!r}].{attr}."
).format
pyg_too_early = (
    "Every 'input_time' (latest {latest}) is earlier than the earliest {attr!r} in the graph "
).format
pyg_csc_size = (
    "csc[{edge_type!r}] has {entries} colptr entries, but data[{node_type!r}] has {nodes} nodes: "
    "colptr needs one more entry than its destination type has nodes."
).format
pyg_time_length = (
    "{name} has {entries} entries, but there are {nodes} nodes: 'time_attr' needs one time per "
    "node."
).format
pyg_not_sorted = (
    "is_sorted=True, but data[{edge_type!r}].edge_index is not sorted by destination"
).format
pyg_window_hops = (
    "'time_windows' at {edge_type!r} gives {given} hop(s), but the sampler runs {hops} (the "
    "longest list in 'num_neighbors' or 'time_windows'): give a window for every hop."
).format
PYG_WINDOW_SHAPE = (
    "'time_windows' must be a list of (lower, upper) pairs of integer offsets from the seed time, "
    "one pair per hop (lower may be None), or a dict of such lists per edge type"
)
pyg_edges_not_held = (
    "PyG's NodeLoader puts a batch's edges only where its data holds an edge_index, and this data "
    "holds none for {types}: give NodeLoader tovalib_pyg.with_edge_stores(data, "
    "sampler.edge_types) as its data, or use tovalib_pyg.NeighborLoader."
).format
pyg_edge_attributes = (
    "tovalib_pyg returns no edge ids, so the edge attributes {names} are left out of every batch."
).format
