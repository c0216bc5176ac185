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
