"""Long runs leak nothing, the sampler gives back every reference it takes and the memory it no
longer needs, and a result's arrays are the caller's alone."""

import contextlib
import gc
import itertools
import os
import resource
import sys
import threading
import weakref

import numpy as np
import pytest

import model
import tovalib
from conftest import (
    CITES,
    EMPTY,
    LOOP,
    REV_WRITES,
    STAR,
    UNDER_ASAN,
    WRITES,
    as_lists,
    assert_same_outcome,
    cases,
    i64,
    in_fresh_interpreter,
    isolated,
    star_graph,
    tiny_graph,
    windows,
)

N = 2000
# Node p<v> is cited by 16 nodes not later than itself; a node's time is its id. The last column
# is not sorted by time and is reached only as a seed: a failure mid-loop.
_columns = np.sort(np.random.default_rng(0).integers(0, np.arange(1, N + 1)[:, None], (N, 16)), 1)
_columns[-1] = np.arange(N - 16, N)[::-1]
GRAPH = star_graph(*_columns, source="p", node_time={"p": np.arange(N)})
SEEDS = np.arange(5, N - 400, 50)


def call(sampler, fan=None, offsets=None, seeds=SEEDS, seed_time=EMPTY):
    return sampler.sample({} if fan is None else {LOOP: fan}, offsets or {}, "p", seeds, seed_time)


CALLS = [  # (timed sampler, untimed sampler) -> one way through a call and out of it
    lambda timed, untimed: call(untimed, i64(5, 3)),  # random draws
    lambda timed, untimed: call(timed, i64(-1, 3)),
    lambda timed, untimed: call(timed, offsets={LOOP: windows((None, 0), (-100, 0))}),
    lambda timed, untimed: call(
        timed, i64(-1), seeds=i64(7, 9, N - 1), seed_time=i64(N, N, N)
    ),  # unsorted
    lambda timed, untimed: call(untimed, i64(2, 2), seeds=i64(1, N + 5)),  # id out of range
    lambda timed, untimed: call(timed),  # KeyError
    lambda timed, untimed: call(timed, offsets={LOOP: windows((0.5, 1))}),  # cast error
    lambda timed, untimed: call(timed, i64(1), seeds=[1, 2]),  # refused by the binding
]


def churn(rounds):
    for seed in range(rounds):
        timed = tovalib.NeighborSampler(**GRAPH, seed=seed)
        untimed = tovalib.NeighborSampler(**GRAPH | {"node_time": {}}, seed=seed)
        for run in CALLS:
            with contextlib.suppress(RuntimeError, IndexError, KeyError, TypeError):
                run(timed, untimed)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


try:
    from numpy._core.multiarray import get_handler_name
except ImportError:  # NumPy 1.x, and before 1.22 none: results are never pooled there
    get_handler_name = getattr(np.core.multiarray, "get_handler_name", None)


def numpy_handler_name(*array):
    """The name of NumPy's memory handler in force now, or of the one that made `array`."""
    return get_handler_name(*array) if get_handler_name else "numpy's own"


# AddressSanitizer holds freed memory in quarantine on purpose, so resident memory grows there
# whatever the module does; its own leak and lifetime checks cover that run instead.
UNDER_ASAN_SKIP = pytest.mark.skipif(
    UNDER_ASAN, reason="resident memory is not meaningful under AddressSanitizer"
)


@UNDER_ASAN_SKIP
def test_resident_memory_stops_growing_over_many_calls():
    churn(500)  # warm-up: allocator pools, NumPy's caches and the samplers' reusable buffers
    gc.collect()
    before = resident_bytes()
    churn(4000)  # 32000 calls, 20000 of them failing, with 8000 samplers built and dropped
    gc.collect()
    assert resident_bytes() - before < 2**20  # a leak of some 40 bytes per call would show


def test_reference_counts_return_to_their_starting_values():
    graph, seeds, seed_time = tiny_graph(), i64(5, 4), i64(60, 45)
    fan, offsets = (
        {CITES: i64(2, 1), WRITES: i64(1, 1), REV_WRITES: i64(2, -1)},
        {CITES: windows((None, 0), (-5, 0))},
    )
    deeper = {WRITES: i64(1, 1, 1), REV_WRITES: i64(1)}
    requests = [
        (fan, {}, "paper", seeds, seed_time),
        ({**deeper, WRITES: i64(1, 1)}, offsets, "paper", seeds, EMPTY),
        (fan, offsets, "paper", seeds, seed_time),  # refused by the checks
        (deeper, offsets, "paper", seeds, EMPTY),  # no window row for hop 2: NumPy's IndexError
        (fan, {}, "paper", i64(9), seed_time[:1]),
        (fan, {}, "paper", [5], seed_time[:1]),
    ]
    watched = [
        *(graph[name] for name in ("colptr", "row", "node_time")),
        fan,
        offsets,
        deeper,
        seeds,
        seed_time,
    ]
    watched += [array for part in watched if isinstance(part, dict) for array in part.values()]
    counts = [sys.getrefcount(item) for item in watched]
    sampler = tovalib.NeighborSampler(**graph)
    holding = [sys.getrefcount(item) for item in watched]
    for request in requests * 3:
        try:
            result = sampler.sample(*request)
        except (RuntimeError, IndexError, TypeError):
            continue
        arrays = [weakref.ref(array) for part in result for array in part.values()]
        del result  # only the tuple holds the dicts, and only the dicts hold the arrays
        assert all(array() is None for array in arrays)
    assert [sys.getrefcount(item) for item in watched] == holding
    del sampler
    assert [sys.getrefcount(item) for item in watched] == counts


def test_a_cycle_through_the_sampler_is_collected():
    class Tagged(np.ndarray):
        pass

    graph = tiny_graph()
    array = graph["row"][CITES].view(Tagged)
    graph["row"][CITES] = array
    array.sampler = tovalib.NeighborSampler(**graph)
    collected = weakref.ref(array)
    del array, graph
    gc.collect()
    assert collected() is None


def grown_and_left(small_calls):
    """Resident bytes gained over one call's result of four million edges, once it is dropped, and
    those left after `small_calls` small calls on the same sampler (None: once it is dropped)."""
    sampler = tovalib.NeighborSampler(**star_graph(np.arange(4_000_000)))
    small = ({STAR: i64(3)}, {}, "p", i64(0), EMPTY)
    sampler.sample(*small)
    before = resident_bytes()
    assert len(sampler.sample({STAR: i64(-1)}, {}, "p", i64(0), EMPTY)[0][STAR]) == 4_000_000
    grown = resident_bytes() - before
    if small_calls is None:
        del sampler  # no further call will want the memory it was in
    else:
        for _ in range(small_calls):
            sampler.sample(*small)
    return grown, resident_bytes() - before


@UNDER_ASAN_SKIP
@pytest.mark.skipif(get_handler_name is None, reason="NumPy before 1.22 allocates every result")
def test_memory_of_one_oversized_call_is_given_back_after_a_few_small_ones():
    grown, left = grown_and_left(small_calls=8)  # the sampler keeps what the last few calls needed
    assert grown > 2**27
    assert left < 2**26


@UNDER_ASAN_SKIP
def test_memory_of_large_results_is_given_back_once_no_sampler_is_left():
    # In a process of its own: the other tests' samplers may still wait for the collector.
    printed = in_fresh_interpreter("import test_memory as t; print(*t.grown_and_left(None))")
    grown, left = map(int, printed.split())
    assert grown > 2**27
    assert left < 2**26


def first_large_results_in_threads(threads=4, n=100_000):
    sys.setswitchinterval(1e-6)  # threads take turns inside the first large result's set-up
    samplers = [tovalib.NeighborSampler(**star_graph(np.arange(n))) for _ in range(threads)]
    barrier, rows = threading.Barrier(threads), [None] * threads

    def work(i):
        barrier.wait()
        rows[i] = samplers[i].sample({STAR: i64(-1)}, {}, "p", i64(0), EMPTY)[0][STAR]

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert all(r.tolist() == list(range(n)) for r in rows)


def test_threads_making_the_first_large_results_together_do_not_deadlock():
    # In a process of its own, so that these are its first large results.
    in_fresh_interpreter("import test_memory as t; t.first_large_results_in_threads()")


# Node p0 of this graph has the neighbours q0 .. q59999, p1 the first fifth of them, p2 three.
HANDOVER = star_graph(np.arange(60_000), np.arange(12_000), np.arange(3))


# A result's arrays come to be in one of three ways; whichever it is, they must be the caller's
# alone. Past 256 KiB a result's memory comes from the pool, which keeps it for the next call.
@cases(
    # under 256 KiB: copied into NumPy's own memory; two of p2's three neighbours are drawn
    dict(id="small", seeds=[2, 2, 2, 2], fan_out=2, pooled=False),
    # each list fills its block, which becomes its array's memory without a copy
    dict(id="large, lists handed over", seeds=[0, 0, 0], fan_out=-1, pooled=True),
    # after p0, p1's lists fill less than half their blocks: copied into memory from the pool
    dict(id="large, lists copied", seeds=[0, 1, 0, 1, 0], fan_out=-1, pooled=True),
)
def test_result_arrays_are_the_callers_alone(seeds, fan_out, pooled):
    """Every array a call returns owns its memory and shares it with no other (the graph's, the
    seeds', an earlier result's); it keeps its values whatever later calls do and whatever the
    caller writes to other results, and can be resized. NumPy's allocator is the caller's again
    once the call is over."""
    sampler, reference = tovalib.NeighborSampler(**HANDOVER), model.ModelSampler(**HANDOVER)
    handler = numpy_handler_name()

    def call(seed):
        request = ({STAR: i64(fan_out)}, {}, "p", i64(seed), EMPTY)
        result = sampler.sample(*request)
        assert_same_outcome(result, reference.sample(*request))
        assert numpy_handler_name() == handler
        arrays = [array for part in result for array in part.values()]
        for array in arrays:
            assert array.flags.owndata
            assert array.base is None
            assert (numpy_handler_name(array) != handler) == (pooled and bool(get_handler_name))
        return result, [*arrays, request[3]]

    kept, held = call(seeds[0])
    values = as_lists(kept)
    held += [*HANDOVER["colptr"].values(), *HANDOVER["row"].values()]
    for seed in seeds[1:]:
        result, arrays = call(seed)
        for first, second in itertools.combinations(arrays + held, 2):
            assert not np.shares_memory(first, second)
        for array in arrays:
            array[...] = -7  # scribbled over before its memory goes back
        del result, arrays
    assert as_lists(kept) == values
    grown, size = kept[2]["q"], len(kept[2]["q"])
    grown.resize(3 * size, refcheck=False)  # moved to a larger block of its own
    assert grown[:size].tolist() == values["node"]["q"]
    assert not grown[size:].any()
    assert numpy_handler_name(np.empty(size)) == handler


def address_space_bytes():
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith("VmSize:"))
    return int(line.split()[1]) * 1024


def trim_after_a_smaller_large_call():
    """A call that leaves the sampler holding over four times what its last calls needed, so
    that the call ending it gives back memory by first making a smaller index map."""
    sampler = tovalib.NeighborSampler(["p"], [], {}, {}, {})
    for seeds in [3_000_000] + [1] * 7:
        sampler.sample({}, {}, "p", np.arange(seeds), EMPTY)
    return lambda: sampler.sample({}, {}, "p", np.arange(300_000), EMPTY)


def small_call_with_a_large_result_alive():
    sampler = tovalib.NeighborSampler(**star_graph(np.arange(4_000_000)))
    kept = sampler.sample({STAR: i64(-1)}, {}, "p", i64(0), EMPTY)
    return lambda: (kept, sampler.sample({STAR: i64(3)}, {}, "p", i64(0), EMPTY))[1]


@pytest.mark.skipif(
    UNDER_ASAN, reason="AddressSanitizer reserves more address space than any limit"
)
@pytest.mark.parametrize(
    "prepare, headroom, sampled_nodes",
    [
        (trim_after_a_smaller_large_call, 16 << 20, {"p": 300_000}),
        (small_call_with_a_large_result_alive, 32 << 20, {"p": 1, "q": 3}),
    ],
    ids=["trim without memory to trim into", "small call after a large result"],
)
def test_calls_need_only_their_own_memory_under_an_address_space_limit(
    prepare, headroom, sampled_nodes
):
    """As under a batch scheduler's limit (ulimit -v): a call that fits must return, and giving
    memory back at its end must never need more."""

    def child():
        call = prepare()
        limit = address_space_bytes() + headroom
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
        return call()

    outcome, result = isolated(child)
    assert outcome == "returned", result
    assert {t: len(ids) for t, ids in result["node"].items()} == sampled_nodes
