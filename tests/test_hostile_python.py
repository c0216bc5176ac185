"""Python code that runs inside a call (a key's __str__ or __eq__, a dict subclass, an __array__,
an __index__, a signal handler) cannot make the sampler read memory or data it did not check."""

import contextlib
import ctypes
import gc
import re
import signal
import time

import numpy as np
import pytest

import messages
import tovalib
from conftest import (
    CITES,
    COPY,
    EMPTY,
    FORMS,
    LENT,
    MOVED,
    REV_WRITES,
    STAR,
    UNDER_ASAN,
    WRITES,
    Index,
    Key,
    as_lists,
    i64,
    isolated,
    lend,
    litter,
    new_memory,
    star_graph,
    tiny_graph,
    windows,
    with_clearing_key,
)

FAN = {CITES: i64(1, 1), WRITES: i64(1, 1), REV_WRITES: i64(1, 1)}


@pytest.mark.parametrize(
    "call, expected",
    [
        # the checks pass on what they saw; the str key is not in the caller's dict, as Python says
        (
            lambda: tovalib.NeighborSampler(**tiny_graph()).sample(
                with_clearing_key(CITES, i64(1)), {}, "paper", i64(1), EMPTY
            ),
            ("KeyError", (CITES,)),
        ),
        (
            lambda: tovalib.NeighborSampler(
                **{**tiny_graph(), "colptr": with_clearing_key(CITES, i64(0, 1))}
            ).sample(FAN, {}, "paper", i64(1), EMPTY),
            ("KeyError", (CITES,)),
        ),
        (
            lambda: tovalib.NeighborSampler(
                **{**tiny_graph(), "node_time": with_clearing_key("paper", i64(1, 2, 3, 4, 5, 6))}
            ).sample(FAN, {}, "paper", i64(1), EMPTY),
            (
                "returned",
                as_lists(
                    tovalib.NeighborSampler(**{**tiny_graph(), "node_time": {}}).sample(
                        FAN, {}, "paper", i64(1), EMPTY
                    )
                ),
            ),
        ),
    ],
    ids=["num_neighbors", "colptr", "node_time"],
)
def test_a_dict_emptied_by_its_own_key_is_read_as_it_was_checked(call, expected):
    assert isolated(call) == expected


def test_seeds_are_counted_and_read_from_the_arrays_that_were_checked():
    seeds = np.tile(i64(0, 1, 2, 3, 4, 5), 11)[:64]

    def as_twice_as_many_int32():
        if seeds.dtype == np.int64:
            seeds.dtype = np.int32

    # the comparison of an edge type's key reinterprets the seeds
    fan = {Key(CITES, on_eq=as_twice_as_many_int32): i64(1), WRITES: i64(1), REV_WRITES: i64(1)}
    result = isolated(
        lambda: tovalib.NeighborSampler(**tiny_graph()).sample(
            fan, {}, "paper", seeds, np.full(64, 35)
        )
    )
    expected = tovalib.NeighborSampler(**tiny_graph()).sample(
        {CITES: i64(1), WRITES: i64(1), REV_WRITES: i64(1)},
        {},
        "paper",
        seeds.copy(),
        np.full(64, 35),
    )
    assert result == ("returned", as_lists(expected))


@pytest.mark.parametrize(
    "change",
    [
        lambda array: setattr(array, "dtype", np.float64),  # its bits read as floats
        lambda array: setattr(array, "dtype", np.int32),  # twice as many values
        lambda array: setattr(array, "shape", (array.size, 1)),
    ],
    ids=["float64", "int32", "2-D"],
)
@pytest.mark.parametrize("place", ["num_neighbors", "colptr", "colptr, between calls"])
def test_an_array_changed_in_place_after_its_check_is_refused_not_cast(place, change):
    graph, fan = tiny_graph(), {CITES: i64(2, 2), WRITES: i64(1), REV_WRITES: i64(1)}
    victim = graph["colptr"][CITES]
    if place == "colptr":  # changed while the next dict, row, is checked
        graph["row"] = {Key(k, on_str=lambda: change(victim)): v for k, v in graph["row"].items()}
    elif place == "num_neighbors":  # changed while the next key of the same dict is checked
        victim = fan[CITES]
        fan[Key(WRITES, on_str=lambda: change(victim))] = fan.pop(WRITES)
    make = lambda: tovalib.NeighborSampler(**graph)  # noqa: E731
    if place == "colptr, between calls":
        sampler = make()
        sampler.sample(fan, {}, "paper", i64(5), EMPTY)
        change(victim)
        make = lambda: sampler  # noqa: E731
    with pytest.raises(RuntimeError) as error:
        make().sample(fan, {}, "paper", i64(5), EMPTY)
    assert error.value.args == (messages.CHANGED_AFTER_CHECK,)


class SecondAnswerDict(dict):
    """A dict whose lookups answer with another value than the one it stores."""

    def __getitem__(self, key):
        return np.array([2.9])


class SecondAnswerArray:
    """An array-like whose every conversion after the first gives other values."""

    def __init__(self, first, later):
        self.answers = [first]
        self.later = later

    def __array__(self, dtype=None, copy=None):
        return self.answers.pop() if self.answers else self.later


def timed_request(sampler, num_neighbors):
    return as_lists(sampler.sample(num_neighbors, {}, "paper", i64(5, 4, 3), EMPTY))


@pytest.mark.parametrize(
    "graph_changes, num_neighbors",
    [
        ({}, SecondAnswerDict(FAN)),
        (
            {
                "colptr": {
                    **tiny_graph()["colptr"],
                    CITES: SecondAnswerArray(tiny_graph()["colptr"][CITES], np.zeros(7)),
                }
            },
            FAN,
        ),
        ({}, {**FAN, CITES: SecondAnswerArray(i64(1, 1), np.array([2.9, 2.9]))}),
    ],
    ids=["dict-subclass-getitem", "colptr-array-like", "fan-out-array-like"],
)
def test_the_values_checked_are_the_values_read(graph_changes, num_neighbors):
    sampler = tovalib.NeighborSampler(**{**tiny_graph(), **graph_changes})
    assert timed_request(sampler, num_neighbors) == timed_request(
        tovalib.NeighborSampler(**tiny_graph()), FAN
    )


EMPTY_DTYPES = [np.dtype("datetime64[s]"), np.dtype("timedelta64[s]"), np.dtype("float64")]
if hasattr(getattr(np, "dtypes", None), "StringDType"):  # NumPy 2
    EMPTY_DTYPES.append(np.dtypes.StringDType())


@pytest.mark.parametrize("dtype", EMPTY_DTYPES, ids=str)
@pytest.mark.parametrize(
    "place", ["colptr", "row", "node_time", "seed_node", "seed_time", "num_neighbors"]
)
def test_empty_arrays_of_any_dtype_are_accepted_where_empty_arrays_are(place, dtype):
    empty = np.empty(0, dtype=dtype)
    graph, request = (
        tiny_graph(),
        {
            "num_neighbors": dict.fromkeys(FAN, EMPTY),
            "sampling_time_offsets": {},
            "entity_table": "paper",
            "seed_node": i64(1, 2),
            "seed_time": i64(40, 40),
        },
    )
    if place in ("colptr", "row", "node_time"):
        graph[place][CITES if place != "node_time" else "author"] = empty
    elif place == "num_neighbors":
        request["num_neighbors"][CITES] = empty
    else:
        request.update({"seed_time": EMPTY, place: empty})
    node = tovalib.NeighborSampler(**graph).sample(**request)[2]
    assert node["paper"].tolist() == ([] if place == "seed_node" else [1, 2])


@pytest.mark.parametrize(
    "seed_node, seed_time",
    [
        (np.broadcast_to(np.int64(0), (2**32 + 1,)), EMPTY),
        (np.broadcast_to(np.int64(0), (2**32 + 1,)), np.broadcast_to(np.int64(0), (2**32 + 1,))),
    ],
)
def test_too_many_seeds_are_refused_before_anything_is_copied(seed_node, seed_time):
    with pytest.raises(ValueError, match=r"^At most") as error:
        tovalib.NeighborSampler(**tiny_graph()).sample(FAN, {}, "paper", seed_node, seed_time)
    assert error.value.args == (messages.TOO_MANY_SEEDS,)


def test_a_seed_time_of_other_length_is_refused_before_it_is_copied():
    with pytest.raises(RuntimeError) as error:
        tovalib.NeighborSampler(**tiny_graph()).sample(
            FAN, {}, "paper", i64(1), np.broadcast_to(np.int64(0), (2**32 + 1,))
        )
    assert error.value.args == (messages.SIZE_MISMATCH,)


def test_a_second_init_is_refused_and_the_sampler_stays_as_it_was():
    sampler, twin = tovalib.NeighborSampler(**tiny_graph()), tovalib.NeighborSampler(**tiny_graph())
    untimed = {**tiny_graph(), "node_time": {}, "seed": 5}
    with pytest.raises(TypeError) as error:
        sampler.__init__(**untimed)
    assert error.value.args == (messages.ALREADY_INITIALISED,)
    assert as_lists(sampler.sample(FAN, {}, "paper", i64(5, 4), EMPTY)) == as_lists(
        twin.sample(FAN, {}, "paper", i64(5, 4), EMPTY)
    )


def test_an_init_run_by_a_key_inside_init_wins_and_the_outer_one_is_refused():
    sampler = tovalib.NeighborSampler.__new__(tovalib.NeighborSampler)
    untimed = {**tiny_graph(), "node_time": {}}
    initialise = lambda: sampler.__init__(**tiny_graph())  # noqa: E731
    untimed["colptr"] = {
        Key(k, on_str=initialise) if k == CITES else k: v for k, v in untimed["colptr"].items()
    }
    with pytest.raises(TypeError):
        sampler.__init__(**untimed)
    request = (FAN, {}, "paper", i64(5, 4), EMPTY)
    assert as_lists(sampler.sample(*request)) == as_lists(
        tovalib.NeighborSampler(**tiny_graph()).sample(*request)
    )


def slow_request(edge_types):
    """Every seed of a million probes an empty time window through each of `edge_types` edge
    types: seconds of work that adds nothing."""
    n = 1_000_000
    keys = [f"p__r{i}__p" for i in range(edge_types)]
    colptr, row = np.arange(n + 1), np.arange(n)
    sampler = tovalib.NeighborSampler(
        ["p"],
        [("p", f"r{i}", "p") for i in range(edge_types)],
        dict.fromkeys(keys, colptr),
        dict.fromkeys(keys, row),
        {"p": np.arange(n)},
    )
    windows = dict.fromkeys(keys, i64(-10, -5).reshape(1, 2))
    arrays = dict(colptr=colptr, row=row)
    return sampler, (FAN | {}, windows, "p", np.arange(n), EMPTY), arrays


@contextlib.contextmanager
def alarm(handler, seconds):
    """Runs `handler` as the SIGALRM handler, `seconds` after entry; both undone on exit."""
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds)
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_ctrl_c_stops_a_long_call_and_the_next_call_works():
    sampler, (_, windows, entity, seeds, seed_time), _ = slow_request(200)
    handled = []

    def interrupt(signum, frame):
        handled.append(time.monotonic())
        raise KeyboardInterrupt

    start = time.monotonic()
    with alarm(interrupt, 0.2), pytest.raises(KeyboardInterrupt):
        sampler.sample({}, windows, entity, seeds, seed_time)
    # The handler ran inside the call, not when the call was over (seconds later).
    assert handled
    assert handled[0] - start < 1.5
    small = ({}, windows, entity, i64(3, 7), seed_time)
    assert as_lists(sampler.sample(*small)) == as_lists(slow_request(200)[0].sample(*small))


def test_ctrl_c_reaches_a_call_that_only_registers_seeds():
    """A million seeds and no edge types: no hop runs, so only the seeds' registration can let the
    signal through. A handler that runs inside the call finds the sampler busy."""
    sampler = tovalib.NeighborSampler(["p"], [], {}, {}, {})
    seen = []

    def interrupt(signum, frame):
        try:
            sampler.sample({}, {}, "p", i64(0), EMPTY)
            seen.append("idle")
        except RuntimeError as error:
            seen.append(str(error))
        raise KeyboardInterrupt

    seeds = np.arange(1_000_000)

    def call():
        sampler.sample({}, {}, "p", seeds, EMPTY)
        time.sleep(1)  # a call that never lets the signal through returns first: it arrives here

    with alarm(interrupt, 0.02), pytest.raises(KeyboardInterrupt):
        call()
    assert seen == [messages.ALREADY_SAMPLING]


class Impostor:
    __class__ = property(lambda self: tovalib.NeighborSampler)


@pytest.mark.parametrize(
    "call",
    [
        lambda self: tovalib.NeighborSampler.__init__(self, **tiny_graph()),
        lambda self: tovalib.NeighborSampler.sample(self, FAN, {}, "paper", i64(5), EMPTY),
    ],
    ids=["__init__", "sample"],
)
def test_an_object_claiming_to_be_a_sampler_is_refused(call):
    # isinstance() believes a `__class__` attribute; taken for an instance, such an object would
    # be read as memory it does not have.
    assert isinstance(Impostor(), tovalib.NeighborSampler)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(Impostor())


def test_an_array_changed_while_its_memory_is_pinned_is_read_as_it_is_now():
    """Finding what holds an as_strided view's memory reads the view's lender's `base`, which can
    run Python code: here it doubles the array's length, over memory it cannot hold (ctypes)."""

    def attempt():
        graph = tiny_graph()
        row = graph["row"][CITES]
        buffer = (ctypes.c_int64 * len(row))(*row.tolist())
        lent = np.lib.stride_tricks.as_strided(np.ctypeslib.as_array(buffer))

        def base(lender):
            lent.dtype = np.int32  # twice as many values over the same memory
            return lender.__dict__["base"]

        type(lent.base).base = property(base, lambda lender, value: vars(lender).update(base=value))
        graph["row"][CITES] = lent
        return tovalib.NeighborSampler(**graph).sample(FAN, {}, "paper", i64(5), EMPTY)

    assert isolated(attempt) == ("RuntimeError", (messages.CHANGED_AFTER_CHECK,))


@pytest.mark.parametrize(
    "place, key", [("colptr", CITES), ("row", WRITES), ("node_time", "author")]
)
@pytest.mark.parametrize("when", ["a key's __str__", "a window bound's __index__"])
def test_a_graph_array_given_new_memory_inside_a_call_is_refused(when, place, key):
    def attempt():
        graph = tiny_graph()
        change = new_memory(graph[place][key])

        def run():
            change()
            garbage.extend(litter())
            return 0

        garbage = []
        sampler = tovalib.NeighborSampler(**graph)
        fan = {WRITES: i64(1, 1), REV_WRITES: i64(1, 1)}
        bounds = [[None, 0], [None, 0]]
        if when == "a key's __str__":
            fan[Key(REV_WRITES, on_str=run)] = fan.pop(REV_WRITES)
        else:
            bounds[1][1] = Index(run)  # read at the second hop
        return sampler.sample(fan, {CITES: windows(*bounds)}, "paper", i64(5, 4), EMPTY)

    assert isolated(attempt) == MOVED


def test_a_graph_array_given_new_memory_by_a_signal_handler_is_refused():
    """The handler runs inside the expansion of one edge type, which reads on after the poll."""
    sampler, (_, windows_, entity, seeds, seed_time), arrays = slow_request(200)

    def handler(signum, frame):
        new_memory(arrays["row"])()
        handler.garbage = [np.full(10**6, -(10**9), np.int64) for _ in range(4)]

    def attempt():
        with alarm(handler, 0.2):
            return sampler.sample({}, windows_, entity, seeds, seed_time)

    assert isolated(attempt) == MOVED


@pytest.mark.parametrize("place", ["seed_node", "num_neighbors"])
def test_an_argument_changed_during_the_call_does_not_change_the_call(place):
    seeds, fan_out = i64(5, 4), i64(1)
    target = seeds if place == "seed_node" else fan_out

    def change():
        target[:] = 0
        target.resize(10**6, refcheck=False)  # the call reads a copy: nothing holds this memory
        return 0

    def run(upper):
        windows = np.array([[None, upper]], dtype=object)
        return as_lists(
            tovalib.NeighborSampler(**tiny_graph()).sample(
                {WRITES: fan_out, REV_WRITES: i64(1)}, {CITES: windows}, "paper", seeds, EMPTY
            )
        )

    expected = run(0)
    assert run(Index(change)) == expected


def test_seeds_changed_while_they_are_registered_do_not_change_the_call():
    sampler = tovalib.NeighborSampler(["p"], [], {}, {}, {"p": i64(0, 5, 10)})
    seeds = np.zeros(1_000_000, dtype=np.int64)
    busy = []

    def change(signum, frame):
        seeds.fill(2)
        with pytest.raises(RuntimeError, match=re.escape(messages.ALREADY_SAMPLING)):
            sampler.sample({}, {}, "p", i64(0), EMPTY)
        busy.append(True)

    with alarm(change, 0.02):
        node = sampler.sample({}, {}, "p", seeds, EMPTY)[2]["p"]
    assert busy  # the handler ran inside the call
    assert not node.any()


@pytest.mark.skipif(
    UNDER_ASAN, reason="AddressSanitizer ends the process on an allocation larger than any memory"
)
@pytest.mark.parametrize("hops, dtype", [(2**50, object), (2**60, np.int8)])
def test_a_hop_count_no_memory_could_hold_fails_before_any_hop(hops, dtype):
    rows_read = []

    def upper():
        rows_read.append(1)
        if len(rows_read) > 1000:
            raise OverflowError("hops went on")
        return 0

    row = [[None, Index(upper)]] if dtype is object else [[0, 0]]
    windows = np.broadcast_to(np.array(row, dtype=dtype), (hops, 2))
    with pytest.raises(MemoryError):
        tovalib.NeighborSampler(**tiny_graph()).sample(
            {WRITES: i64(1), REV_WRITES: i64(1)}, {CITES: windows}, "paper", i64(5), EMPTY
        )
    assert rows_read == []


# A list becomes an array that the sampler holds and guards as it does a caller's array.
@pytest.mark.parametrize("form", [f for f in FORMS if LENT[f][0] == COPY and f != "list"])
def test_the_collector_sees_only_the_callers_arrays(form):
    """An array the sampler cannot read in place is read through a copy of its own: one no Python
    code can reach and resize."""
    graph = tiny_graph()
    graph["row"][CITES] = lend(form, graph["row"][CITES], path=None)[0]
    sampler = tovalib.NeighborSampler(**graph)
    given = {id(a) for part in ("colptr", "row", "node_time") for a in graph[part].values()}
    assert {id(r) for r in gc.get_referents(sampler) if isinstance(r, np.ndarray)} <= given


def test_a_finalizer_making_a_large_result_inside_a_large_call_changes_neither():
    # A window bound's __index__ leaves a cycle and arms the collector to run k allocations
    # later, i.e. somewhere in the rest of the call (result assembly included); the cycle's
    # finalizer then makes a large result of its own on another sampler.
    n, key = 100_000, STAR
    timed = tovalib.NeighborSampler(
        **star_graph(np.arange(n), node_time={"p": i64(10), "q": np.zeros(n, np.int64)})
    )
    other = tovalib.NeighborSampler(**star_graph(np.arange(n)))
    nested = []

    def large(sampler, **rule):
        return sampler.sample(rule.get("fan", {}), rule.get("windows", {}), "p", i64(0), EMPTY)

    class Cycle:
        def __init__(self):
            self.me = self

        def __del__(self):
            nested.append(large(other, fan={key: i64(-1)})[0][key])

    def calls():
        signal.alarm(60)  # a deadlock kills the child, and so fails the test
        large(other, fan={key: i64(-1)})
        for k in range(12):

            class Bound:
                def __index__(self, k=k):
                    gc.collect()
                    Cycle()
                    gc.set_threshold(gc.get_count()[0] + k, 100_000, 100_000)
                    return 0

            bounds = np.array([[None, Bound()]], dtype=object)
            try:
                result = large(timed, windows={key: bounds})
            finally:
                gc.set_threshold(700, 10, 10)
            gc.collect()
            assert result[0][key].tolist() == list(range(n)), k
        assert nested, "no finalizer ran"
        assert all(rows.tolist() == list(range(n)) for rows in nested)
        return result

    outcome, _ = isolated(calls)
    assert outcome == "returned", _
