"""Pure-Python reference model of ``tovalib.NeighborSampler``.

The property-based tests run this model and the native module side by side
on many small random graphs and demand identical results: the same six
dicts, the same exceptions with the same messages, and the same random
stream across successive calls.  The model therefore favours plain, direct
code over speed: every read of a graph array goes through one small helper
that bounds-checks it, and every random draw comes from a hand-written
Mersenne Twister so that nothing depends on NumPy's generator internals.

Public API:

* ``MT19937(seed)`` with ``next_u32()``: the 32-bit Mersenne Twister.
* ``ModelSampler(node_types, edge_types, colptr, row, node_time, seed=123)``
  with ``sample(num_neighbors, sampling_time_offsets, entity_table,
  seed_node, seed_time)`` returning ``(sampled_row, sampled_col, node,
  batch, num_sampled_nodes, num_sampled_edges)``.
* ``_self_check()``: asserts the generator's known outputs.
"""

import operator

import numpy as np

import messages

__all__ = ["MT19937", "ModelSampler"]

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


# ---------------------------------------------------------------------------
# Random generator
# ---------------------------------------------------------------------------


class MT19937:
    """32-bit Mersenne Twister with the published parameters.

    Bit-for-bit the engine that C++ calls ``std::mt19937``, which is what the
    native sampler draws from; seeding is ``init_genrand``.
    """

    _N = 624
    _M = 397
    _MATRIX_A = 0x9908B0DF
    _UPPER_MASK = 0x80000000
    _LOWER_MASK = 0x7FFFFFFF
    _MASK32 = 0xFFFFFFFF

    def __init__(self, seed):
        # The native sampler takes a signed 32-bit seed and reinterprets it
        # as unsigned, so -1 seeds with 4294967295.
        state = [0] * self._N
        state[0] = seed % 2**32
        for i in range(1, self._N):
            previous = state[i - 1]
            state[i] = (1812433253 * (previous ^ (previous >> 30)) + i) & self._MASK32
        self._state = state
        self._index = self._N  # forces a twist before the first output

    def _twist(self):
        state = self._state
        n = self._N
        # Updating in place, in increasing order, is what the reference
        # generator does: late words mix with already regenerated ones.
        for i in range(n):
            y = (state[i] & self._UPPER_MASK) | (state[(i + 1) % n] & self._LOWER_MASK)
            value = state[(i + self._M) % n] ^ (y >> 1)
            if y & 1:
                value ^= self._MATRIX_A
            state[i] = value
        self._index = 0

    def next_u32(self):
        if self._index >= self._N:
            self._twist()
        y = self._state[self._index]
        self._index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y & self._MASK32


# ---------------------------------------------------------------------------
# Array helpers and argument checks
# ---------------------------------------------------------------------------


def _as_array(value):
    """An ndarray (or subclass) as it is; anything else through np.array."""
    if isinstance(value, np.ndarray):
        return value
    return np.array(value)


def _values(array):
    """Logical values of a 1-D array as Python ints.

    Reading through NumPy rather than raw memory makes byte order, strides
    and read-only flags irrelevant, which is exactly how the module must
    behave for such inputs too.
    """
    return [int(x) for x in np.asarray(array).tolist()]


def _is_int64(array):
    # Kind and width only: a big-endian int64 is still int64 for the checks.
    return array.dtype.kind == "i" and array.dtype.itemsize == 8


def _check_array_dict(values, name, allowed, ndim, require_int64):
    for key, value in values.items():
        text = str(key)
        # A key that cannot be UTF-8 encoded fails here in the module too.
        text.encode("utf-8")
        if text not in allowed:
            raise RuntimeError(messages.invalid_type(key=text, name=name))
        array = _as_array(value)
        if array.ndim != ndim:
            raise RuntimeError(messages.entry_not_nd(key=text, name=name, ndim=ndim))
        if array.size == 0:
            # Empty arrays are never read, so their dtype does not matter.
            continue
        if require_int64 and not _is_int64(array):
            raise RuntimeError(messages.entry_not_int64(key=text, name=name))


def _check_array(array, name, ndim, require_int64):
    if array.ndim != ndim:
        raise RuntimeError(messages.array_not_nd(name=name, ndim=ndim))
    if array.size == 0:
        return
    if require_int64 and not _is_int64(array):
        raise RuntimeError(messages.array_not_int64(name=name))


def _wrap_int64(value):
    """Two's-complement wrap, as a native int64 addition overflows."""
    return (value - _INT64_MIN) % 2**64 + _INT64_MIN


def _window_bound(obj):
    """Convert one window bound to int64: integers and objects with __index__ only.

    Floats are refused even when integral, so that a float window array is an error rather than a
    silent truncation. __index__ saying "not an integer" (TypeError) gets the cast message too;
    any other error it raises is the caller's and passes through.
    """
    if hasattr(type(obj), "__index__"):
        try:
            value = operator.index(obj)
        except TypeError:
            value = None
        if value is not None and _INT64_MIN <= value <= _INT64_MAX:
            return value
    raise RuntimeError(messages.cast(type=type(obj)))


def _int64_array(values):
    return np.array(values, dtype=np.int64).reshape(-1)


# ---------------------------------------------------------------------------
# Per-call state
# ---------------------------------------------------------------------------


class _CallState:
    """Everything one ``sample`` call builds; thrown away when it ends.

    Keeping it out of the sampler means a failed call cannot leak anything
    into the next one, which mirrors the module's reset at call start.
    """

    def __init__(self, node_types, edge_type_keys):
        # Sampled nodes are (batch, node id) pairs; a list position is the
        # node's local index.  Keyed by the pair, so the same id under two
        # seeds is two nodes.
        self.nodes = {t: [] for t in node_types}
        self.local_index = {t: {} for t in node_types}
        self.frontier = dict.fromkeys(node_types, (0, 0))
        self.seed_times = []

        self.num_sampled_nodes = {t: [0] for t in node_types}
        self.batch = {t: [] for t in node_types}
        self.node = {t: [] for t in node_types}
        # Leading 0 slot, then one count per hop; the slot is dropped on return.
        self.num_sampled_edges = {k: [0] for k in edge_type_keys}
        self.sampled_row = {k: [] for k in edge_type_keys}
        self.sampled_col = {k: [] for k in edge_type_keys}


# ---------------------------------------------------------------------------
# Sampler
# ---------------------------------------------------------------------------


class ModelSampler:
    """Reference implementation of ``tovalib.NeighborSampler``."""

    def __init__(self, node_types, edge_types, colptr, row, node_time, seed=123):
        self.node_types = list(node_types)
        self.edge_types = [tuple(edge_type) for edge_type in edge_types]
        self.edge_type_keys = [src + "__" + rel + "__" + dst for src, rel, dst in self.edge_types]

        if not isinstance(node_time, dict):
            node_time = dict(node_time)

        _check_array_dict(colptr, "colptr", self.edge_type_keys, 1, True)
        _check_array_dict(row, "row", self.edge_type_keys, 1, True)
        self.has_node_time = len(node_time) > 0
        _check_array_dict(node_time, "node_time", self.node_types, 1, True)

        # Graph arrays held as lists of ints; edge types sharing a key share
        # one entry, as they share one key everywhere else.
        self.colptr = {}
        self.row = {}
        for key in self.edge_type_keys:
            self.colptr[key] = _values(_as_array(colptr[key]))
            self.row[key] = _values(_as_array(row[key]))
        self.node_time = {}
        for node_type in self.node_types:
            if node_type in node_time:
                self.node_time[node_type] = _values(_as_array(node_time[node_type]))

        # An edge type over an unknown node type would have no frontier or
        # would sample nodes that are never reported, so refuse it up front.
        # A different edge type with the same key would mix local indices of two node types in
        # one result array; the same edge type (or node type) listed again is one type.
        distinct = {}
        for (src, rel, dst), key in zip(self.edge_types, self.edge_type_keys, strict=True):
            for node_type in (src, dst):
                if node_type not in self.node_types:
                    raise RuntimeError(messages.unknown_node_type(key=key, node_type=node_type))
            first = distinct.setdefault(key, (src, rel, dst))
            if first != (src, rel, dst):
                raise RuntimeError(messages.shared_key(first, (src, rel, dst), key))
        self.edge_types = list(distinct.values())
        self.edge_type_keys = list(distinct)
        self.node_types = list(dict.fromkeys(self.node_types))

        # One stream for the sampler's life: later calls continue it, and a
        # call that fails keeps the draws it already made.
        self.generator = MT19937(seed)

    # -- bounds-checked reads ----------------------------------------------

    def _column(self, key, dst_type, v):
        """CSC column of node v at key as (c0, c1), validated against row."""
        colptr = self.colptr[key]
        if v < 0 or v + 1 >= len(colptr):
            raise IndexError(
                messages.colptr_range(node=v, node_type=dst_type, key=key, size=len(colptr))
            )
        c0, c1 = colptr[v], colptr[v + 1]
        size = len(self.row[key])
        if c0 < 0 or c1 < c0 or c1 > size:
            raise IndexError(messages.row_span(node=v, key=key, start=c0, end=c1, size=size))
        return c0, c1

    def _time_of(self, node_type, u):
        times = self.node_time[node_type]
        if u < 0 or u >= len(times):
            raise IndexError(messages.node_time_range(node=u, node_type=node_type, size=len(times)))
        return times[u]

    def _neighbour_time(self, key, src_type, position):
        # Positions come from a validated column, so only the id can be bad.
        return self._time_of(src_type, self.row[key][position])

    def _upper_bound(self, key, src_type, first, last, threshold):
        """First position in [first, last) whose neighbour time exceeds threshold.

        The probing order is fixed because on an unsorted column it decides
        which positions are selected.
        """
        count = last - first
        while count > 0:
            half = count // 2
            mid = first + half
            if threshold < self._neighbour_time(key, src_type, mid):
                count = half
            else:
                first = mid + 1
                count = count - half - 1
        return first

    # -- kernels -------------------------------------------------------------

    def _record_edge(self, state, key, src_type, position, batch, frontier_index):
        entry = (batch, self.row[key][position])
        index_map = state.local_index[src_type]
        if entry not in index_map:
            index_map[entry] = len(state.nodes[src_type])
            state.nodes[src_type].append(entry)
        state.num_sampled_edges[key][-1] += 1
        state.sampled_row[key].append(index_map[entry])
        state.sampled_col[key].append(frontier_index)

    def _select_uniform(self, state, key, src_type, batch, frontier_index, start, end, k):
        n = end - start
        if k < 0 or k >= n:
            for position in range(start, end):
                self._record_edge(state, key, src_type, position, batch, frontier_index)
            return
        # Floyd's algorithm: one draw per step, edges recorded as chosen.
        taken = set()
        for j in range(n - k, n):
            t = self.generator.next_u32() % (j + 1)
            chosen = j if t in taken else t
            taken.add(chosen)
            self._record_edge(state, key, src_type, start + chosen, batch, frontier_index)

    def _select_recent(self, state, key, src_type, dst_type, entry, frontier_index, k, seed_time):
        if k == 0:
            return
        batch, v = entry
        c0, c1 = self._column(key, dst_type, v)
        if c0 == c1:
            return
        q = self._upper_bound(key, src_type, c0, c1, seed_time)
        # Only the end points are compared: a cheap guard, not a full sort test.
        if q - c0 >= 2 and (
            self._neighbour_time(key, src_type, c0) > self._neighbour_time(key, src_type, q - 1)
        ):
            raise RuntimeError(messages.UNSORTED)
        if k > 0:
            c0 = max(c0, q - k)
        if c0 == q:
            return
        self._select_uniform(state, key, src_type, batch, frontier_index, c0, q, k)

    def _select_time_window(
        self, state, key, src_type, dst_type, entry, frontier_index, window, seed_time
    ):
        batch, v = entry
        lo, hi = self._column(key, dst_type, v)
        if lo == hi:
            return
        # Lower bound open, upper bound closed; thresholds wrap like int64.
        if len(window) == 2:
            start = self._upper_bound(key, src_type, lo, hi, _wrap_int64(seed_time + window[0]))
            upper = _wrap_int64(seed_time + window[1])
        else:
            start = lo
            upper = _wrap_int64(seed_time + window[0])
        end = self._upper_bound(key, src_type, start, hi, upper)
        m = end - start
        if m >= 2 and (
            self._neighbour_time(key, src_type, start)
            > self._neighbour_time(key, src_type, end - 1)
        ):
            raise RuntimeError(messages.UNSORTED)
        if m == 0:
            return
        self._select_uniform(state, key, src_type, batch, frontier_index, start, end, m)

    # -- sample --------------------------------------------------------------

    @staticmethod
    def _hop_parameters(key, hop, num_neighbors, sampling_time_offsets):
        """(fan-out, window) of one edge type at one hop."""
        if key in num_neighbors:
            fanouts = np.asarray(_as_array(num_neighbors[key]))
            # Lists shorter than the hop count mean "nothing more" for this
            # edge type rather than an error.
            k = int(fanouts[hop]) if hop < fanouts.size else 0
            return k, ()
        # Indexed through Python on the array that was checked (a list as NumPy converted it),
        # so a short window array fails with its own IndexError.
        window_row = _as_array(sampling_time_offsets[key])[hop]
        lower = window_row[0]
        upper = window_row[1]
        if lower is None:
            return 0, (_window_bound(upper),)
        lower = _window_bound(lower)
        return 0, (lower, _window_bound(upper))

    def sample(self, num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time):
        # Argument types the binding would refuse before the sampler runs.
        if not isinstance(num_neighbors, dict) or not isinstance(sampling_time_offsets, dict):
            raise TypeError(messages.INCOMPATIBLE_ARGUMENTS)
        if isinstance(entity_table, str):
            try:
                entity_table = entity_table.encode("utf-8")
            except UnicodeEncodeError:  # a lone surrogate: the binding cannot convert it
                raise TypeError(messages.INCOMPATIBLE_ARGUMENTS) from None
        if not isinstance(entity_table, (bytes, bytearray)):
            raise TypeError(messages.INCOMPATIBLE_ARGUMENTS)
        if not isinstance(seed_node, np.ndarray) or not isinstance(seed_time, np.ndarray):
            raise TypeError(messages.INCOMPATIBLE_ARGUMENTS)
        # Names compare as UTF-8 bytes; bytes that are not UTF-8 match no node type and are
        # quoted with escapes.
        try:
            entity_table, decodable = bytes(entity_table).decode("utf-8"), True
        except UnicodeDecodeError:
            entity_table, decodable = bytes(entity_table).decode("utf-8", "backslashreplace"), False

        # Request checks, in the module's order; the first fault wins.
        _check_array_dict(num_neighbors, "num_neighbors", self.edge_type_keys, 1, True)
        _check_array_dict(
            sampling_time_offsets, "sampling_time_offsets", self.edge_type_keys, 2, False
        )
        _check_array(seed_node, "seed_node", 1, True)
        _check_array(seed_time, "seed_time", 1, True)
        if not decodable or entity_table not in self.node_types:
            raise RuntimeError(messages.invalid_entity(entity=entity_table))
        if self.has_node_time and seed_time.size > 0 and seed_time.size != seed_node.size:
            raise RuntimeError(messages.SIZE_MISMATCH)

        state = _CallState(self.node_types, self.edge_type_keys)

        hop_count = 0
        for (src, _, _), key in zip(self.edge_types, self.edge_type_keys, strict=True):
            if key in num_neighbors and key in sampling_time_offsets:
                raise RuntimeError(messages.in_both(key=key))
            if key in num_neighbors:
                hop_count = max(hop_count, _as_array(num_neighbors[key]).size)
                continue
            windows = _as_array(sampling_time_offsets[key])  # KeyError if in neither
            hop_count = max(hop_count, windows.shape[0])
            if src not in self.node_time:
                raise RuntimeError(messages.window_untimed(key=key, node_type=src))
            if windows.shape[1] != 2:
                raise RuntimeError(messages.window_shape(key=key))

        # Seeds are never merged: position i is batch i, whatever its id.
        seeds = _values(seed_node)
        for i, u in enumerate(seeds):
            state.nodes[entity_table].append((i, u))
            state.local_index[entity_table][(i, u)] = i
        state.frontier[entity_table] = (0, len(seeds))

        # Without any node times nothing is ever timed, so nothing is gathered.
        if self.has_node_time:
            if seed_time.size > 0:
                state.seed_times = _values(seed_time)
            elif entity_table in self.node_time:
                state.seed_times = [self._time_of(entity_table, u) for u in seeds]

        state.num_sampled_nodes[entity_table][0] = len(state.nodes[entity_table])
        for batch, u in state.nodes[entity_table]:
            state.batch[entity_table].append(batch)
            state.node[entity_table].append(u)

        for hop in range(hop_count):
            self._run_hop(state, hop, num_neighbors, sampling_time_offsets)

        return self._assemble(state)

    def _run_hop(self, state, hop, num_neighbors, sampling_time_offsets):
        for (src, _, dst), key in zip(self.edge_types, self.edge_type_keys, strict=True):
            # Frontiers only move at the end of a hop, so nodes added now
            # (also through a self-relation) wait for the next hop.
            begin, end = state.frontier[dst]
            state.num_sampled_edges[key].append(0)
            k, window = self._hop_parameters(key, hop, num_neighbors, sampling_time_offsets)
            timed = src in self.node_time and len(state.seed_times) > 0
            for i in range(begin, end):
                entry = state.nodes[dst][i]
                if timed:
                    # Every node is judged against its own seed's time.
                    seed_time = state.seed_times[entry[0]]
                    if window:
                        self._select_time_window(state, key, src, dst, entry, i, window, seed_time)
                    else:
                        self._select_recent(state, key, src, dst, entry, i, k, seed_time)
                else:
                    # Time-window edge types have k == 0 and add nothing here.
                    if k == 0:
                        continue
                    c0, c1 = self._column(key, dst, entry[1])
                    if c0 == c1:
                        continue
                    self._select_uniform(state, key, src, entry[0], i, c0, c1, k)

        for node_type in self.node_types:
            old_end = state.frontier[node_type][1]
            new_end = len(state.nodes[node_type])
            state.frontier[node_type] = (old_end, new_end)
            state.num_sampled_nodes[node_type].append(new_end - old_end)
            for batch, u in state.nodes[node_type][old_end:new_end]:
                state.batch[node_type].append(batch)
                state.node[node_type].append(u)

    def _assemble(self, state):
        node, num_sampled_nodes, batch = {}, {}, {}
        for node_type in self.node_types:
            node[node_type] = _int64_array(state.node[node_type])
            num_sampled_nodes[node_type] = _int64_array(state.num_sampled_nodes[node_type])
            batch[node_type] = _int64_array(state.batch[node_type])
        num_sampled_edges, sampled_row, sampled_col = {}, {}, {}
        for key in self.edge_type_keys:
            num_sampled_edges[key] = _int64_array(state.num_sampled_edges[key][1:])
            sampled_row[key] = _int64_array(state.sampled_row[key])
            sampled_col[key] = _int64_array(state.sampled_col[key])
        return sampled_row, sampled_col, node, batch, num_sampled_nodes, num_sampled_edges


# ---------------------------------------------------------------------------
# Self-check
# ---------------------------------------------------------------------------


def _self_check():
    """Pin the generator to values that are known independently of us."""
    # The C++ standard requires this of std::mt19937 (default seed 5489).
    generator = MT19937(5489)
    for _ in range(9999):
        generator.next_u32()
    assert generator.next_u32() == 4123659995

    # Seeds are taken modulo 2**32.
    assert MT19937(-1).next_u32() == MT19937(4294967295).next_u32()
