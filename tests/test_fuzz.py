"""The module against the pure-Python model (tests/model.py) on random graphs and requests.

Every call returns a well-formed result or raises a documented exception with a message, and every
sequence of calls on one sampler, failing ones included, matches the model call by call, so a
failed call can neither leak into a later result nor put the random stream out of step. The
well-formed suite draws only faults that reach the hop loop; the hostile one adds malformed parts.
TOVALIB_HYPOTHESIS_PROFILE=long (see tests/strategies.py) explores far more examples.
"""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import messages
import model
import tovalib
from conftest import EMPTY, assert_same_outcome, assert_well_formed, i64, outcome
from strategies import PROFILE, graphs, requests


@pytest.mark.parametrize("hostile", [False, True], ids=["well-formed", "hostile"])
@PROFILE
@given(data=st.data())
def test_call_sequences_match_the_model(data, hostile):
    graph, as_given, acceptable, sizes = data.draw(graphs(hostile))
    module = outcome(tovalib.NeighborSampler, **as_given)
    if not acceptable:
        assert isinstance(module, Exception)
        return
    reference = outcome(model.ModelSampler, **graph)
    if isinstance(module, Exception) or isinstance(reference, Exception):
        assert_same_outcome(module, reference)
        return
    for _ in range(data.draw(st.integers(1, 4))):
        request = data.draw(requests(graph, sizes, hostile))
        result = outcome(module.sample, **request)
        assert_same_outcome(result, outcome(reference.sample, **request))
        if not isinstance(result, Exception):
            assert_well_formed(graph, request, result)


@pytest.mark.parametrize("size", [99_999, 100_000])
def test_large_columns_match_model(size):
    # Both sides of the population size at which the record of taken offsets changes form. The
    # seed repeats, so one record serves many selections in a row and must be emptied exactly.
    graph = dict(
        node_types=["p", "q"],
        edge_types=[("q", "to", "p")],
        colptr={"q__to__p": i64(0, size)},
        row={"q__to__p": np.arange(size, dtype=np.int64)},
        node_time={},
    )
    module, reference = tovalib.NeighborSampler(**graph), model.ModelSampler(**graph)
    for k in (17, 60, 1000):
        request = dict(
            num_neighbors={"q__to__p": i64(k)},
            sampling_time_offsets={},
            entity_table="p",
            seed_node=np.zeros(20 if k < 1000 else 2, dtype=np.int64),
            seed_time=EMPTY,
        )
        assert_same_outcome(module.sample(**request), reference.sample(**request))


def test_model_generator_matches_published_values():
    model._self_check()


# Faults the fuzzer found, as fixed cases. A repeated name makes the hop loop expand an edge type
# twice per hop, or move a node type's frontier twice (dropping the nodes just added), so counts no
# longer match hops; a key shared by two different edge types would mix local indices of two node
# types in one array.
CHAIN = "p__c__p"  # p1 -> p0, p2 -> p1, p0 -> p2


@pytest.mark.parametrize(
    "node_types, edge_types",
    [
        (["p", "p"], [("p", "c", "p")]),
        ([b"p", "p"], [("p", "c", "p")]),
        (["p"], [("p", "c", "p")] * 2),
    ],
)
def test_a_repeated_type_acts_once(node_types, edge_types):
    graph = dict(colptr={CHAIN: i64(0, 1, 2, 3)}, row={CHAIN: i64(1, 2, 0)}, node_time={})
    request = ({CHAIN: i64(-1, -1, -1)}, {}, "p", i64(0), EMPTY)
    sampler = tovalib.NeighborSampler(node_types, edge_types, **graph)
    once = tovalib.NeighborSampler(["p"], [("p", "c", "p")], **graph)
    assert_same_outcome(sampler.sample(*request), once.sample(*request))


def test_edge_types_sharing_a_key_are_refused():
    first, second, shared = ("a", "r__x", "b"), ("a__r", "x", "b"), "a__r__x__b"
    with pytest.raises(RuntimeError) as error:
        tovalib.NeighborSampler(
            ["a", "a__r", "b"], [first, second], {shared: i64(0, 1)}, {shared: i64(0)}, {}
        )
    assert error.value.args == (messages.shared_key(first, second, shared),)
