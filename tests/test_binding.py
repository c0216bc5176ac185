"""The Python surface of tovalib: argument conversions, signatures, exports and the refusal
to load into another CPython."""

import glob
import os
import shutil
import subprocess
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import messages as msg
import tovalib
from conftest import (
    CITES,
    EMPTY,
    REV_WRITES,
    WRITES,
    as_lists,
    cases,
    i64,
    in_fresh_interpreter,
    observe,
    tiny_graph,
)
from model import ModelSampler

# Fan-outs below the degrees, untimed: the result depends on the random stream.
FAN_OUT = {CITES: i64(2, 2), WRITES: i64(1, 1), REV_WRITES: i64(2, 2)}
REQUEST = dict(
    num_neighbors=FAN_OUT,
    sampling_time_offsets={},
    entity_table="paper",
    seed_node=i64(5, 5, 4, 4, 3),
    seed_time=i64(),
)
UNTIMED = {**tiny_graph(), "node_time": {}}


def arg_id(override):
    ((name, value),) = override.items()
    text = repr(value)
    return f"{name}={text if len(text) < 20 else type(value).__name__}"


def draw(sampler):
    return as_lists(sampler.sample(**REQUEST))


@cases(
    dict(id="default", seed_argument={}, generator_seed=123),
    dict(id="given", seed_argument={"seed": 123}, generator_seed=123),
    dict(id="minus-one", seed_argument={"seed": -1}, generator_seed=2**32 - 1),
    dict(id="int32-min", seed_argument={"seed": -(2**31)}, generator_seed=2**31),
    dict(id="numpy-int", seed_argument={"seed": np.int64(7)}, generator_seed=7),
)
def test_seed_is_taken_modulo_2_to_the_32(seed_argument, generator_seed):
    result = draw(tovalib.NeighborSampler(**UNTIMED, **seed_argument))
    assert result == draw(ModelSampler(**UNTIMED, seed=generator_seed))
    assert result != draw(ModelSampler(**UNTIMED, seed=generator_seed + 1))


@cases(
    dict(id="tuple", override={"node_types": ("paper", "author")}),
    dict(id="bytes-types", override={"node_types": [b"paper", bytearray(b"author")]}),
    dict(id="list-triples", override={"edge_types": [list(t) for t in tiny_graph()["edge_types"]]}),
    dict(id="node_time-pairs", override={"node_time": list(tiny_graph()["node_time"].items())}),
    dict(id="bytes", entity_table=b"paper"),
    dict(id="bytearray", entity_table=bytearray(b"paper")),
    override={},
    entity_table="paper",
)
def test_equivalent_argument_forms_are_accepted(override, entity_table):
    # observe() needs node_time and draws nothing, so any difference is in how the form was read
    expected = observe(tovalib.NeighborSampler(**tiny_graph()))
    sampler = tovalib.NeighborSampler(**{**tiny_graph(), **override})
    assert observe(sampler, entity_table=entity_table) == expected


@pytest.mark.parametrize(
    "override",
    [
        {"seed": 2**31},
        {"seed": -(2**31) - 1},
        {"seed": 1.0},
        {"seed": Decimal("7.9")},  # int() would truncate it: not an integer, so refused
        {"seed": Fraction(15, 2)},
        {"seed": None},
        {"node_types": "paper"},
        {"edge_types": [("paper", "cites")]},
        {"edge_types": "paper"},
        {"colptr": list(tiny_graph()["colptr"].items())},
        {"row": list(tiny_graph()["row"].items())},
        {"node_time": None},
    ],
    ids=arg_id,
)
def test_constructor_refuses_with_type_error(override):
    with pytest.raises(TypeError):
        tovalib.NeighborSampler(**{**tiny_graph(), **override})


@pytest.mark.parametrize(
    "override",
    [
        {"seed_node": [5]},
        {"seed_time": []},
        {"seed_node": None},
        {"entity_table": None},
        {"num_neighbors": list(FAN_OUT.items())},
        {"sampling_time_offsets": None},
    ],
    ids=arg_id,
)
def test_sample_refuses_with_type_error(override):
    with pytest.raises(TypeError):
        tovalib.NeighborSampler(**tiny_graph()).sample(**{**REQUEST, **override})


def test_arguments_by_keyword_in_any_order_match_positional_ones():
    by_position = tovalib.NeighborSampler(*UNTIMED.values(), 5).sample(*REQUEST.values())
    by_keyword = tovalib.NeighborSampler(**dict(reversed([*UNTIMED.items(), ("seed", 5)])))
    by_keyword = by_keyword.sample(**dict(reversed(REQUEST.items())))
    assert type(by_keyword) is tuple
    assert [type(d) for d in by_keyword] == [dict] * 6
    assert as_lists(by_keyword) == as_lists(by_position) != draw(tovalib.NeighborSampler(**UNTIMED))


@pytest.mark.parametrize(
    "member, signature",
    [
        (
            "__init__",
            "__init__(self: tovalib.NeighborSampler, node_types: list[str], edge_types: "
            "list[tuple[str, str, str]], colptr: dict, row: dict, node_time: object, "
            "seed: int = 123) -> None",
        ),
        (
            "sample",
            "sample(self: tovalib.NeighborSampler, num_neighbors: dict, sampling_time_offsets: "
            "dict, entity_table: str, seed_node: numpy.ndarray, seed_time: numpy.ndarray) -> "
            "tuple[dict, dict, dict, dict, dict, dict]",
        ),
    ],
)
def test_signature(member, signature):
    # The signature alone: the documentation lives in the type stub.
    assert getattr(tovalib.NeighborSampler, member).__doc__ == signature + "\n"


def test_module_exports_only_the_sampler():
    assert [n for n in dir(tovalib) if not n.startswith("_")] == ["NeighborSampler"]
    assert tovalib.__doc__ is None
    assert tovalib.NeighborSampler.__doc__ is None
    assert [n for n in dir(tovalib.NeighborSampler) if not n.startswith("_")] == ["sample"]


LOAD = (
    "import importlib.util as u, sys\n"
    "where = u.spec_from_file_location('tovalib', sys.argv[1])\n"
    "where.loader.exec_module(u.module_from_spec(where))"
)


@pytest.mark.parametrize("version", ["3.6", "3.7", "3.8", "3.9", "3.11", "3.12", "3.13"])
def test_another_python_refuses_to_load_the_module_with_a_clear_message(version):
    # Neither older nor newer Pythons have every function a 3.10 module may name; one it named
    # strongly would fail the load before the version check could say why.
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    if shutil.which("pyenv"):
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    found = sorted(glob.glob(f"{root}/versions/{version}.*/bin/python{version}"))
    if not found:
        pytest.skip(f"no CPython {version} under pyenv to load the module with")
    run = subprocess.run([found[-1], "-c", LOAD, tovalib.__file__], capture_output=True, text=True)
    assert run.returncode != 0
    assert msg.WRONG_PYTHON(version) in run.stderr


def test_importing_the_module_leaves_numpy_unloaded():
    code = "import sys, tovalib; print(sorted(m for m in sys.modules if m.startswith('numpy')))"
    assert in_fresh_interpreter(code).strip() == "[]"


def test_the_library_exports_only_the_module_init_function():
    if shutil.which("nm") is None:
        pytest.skip("no nm to list the library's symbols with")
    run = subprocess.run(
        ["nm", "-D", "--defined-only", tovalib.__file__], capture_output=True, text=True, check=True
    )
    assert [line.split()[-1] for line in run.stdout.splitlines()] == ["PyInit_tovalib"]


def test_an_instance_whose_init_did_not_run_is_refused():
    # Without the check pybind11 hands `sample` uninitialised storage: garbage or a crash.
    bare = tovalib.NeighborSampler.__new__(tovalib.NeighborSampler)
    with pytest.raises(TypeError) as error:
        bare.sample({}, {}, "paper", i64(0), EMPTY)
    assert error.value.args == (msg.INIT_NOT_RUN,)
