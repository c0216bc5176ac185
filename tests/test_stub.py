"""The type stub must describe the module as built: members, argument names, order and defaults."""

import ast
import pathlib
import re
import subprocess
import sys

import pytest

import tovalib

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "tovalib-stubs" / "__init__.pyi"


def stub_parameters(method: str) -> list[tuple[str, str | None]]:
    tree = ast.parse(STUB.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "NeighborSampler")
    func = next(n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == method)
    args = func.args.args
    defaults = [None] * (len(args) - len(func.args.defaults)) + [
        ast.unparse(d) for d in func.args.defaults
    ]
    return [(a.arg, d) for a, d in zip(args, defaults, strict=True)]


def runtime_parameters(method: str) -> list[tuple[str, str | None]]:
    # pybind11 writes "name(self: T, a: int, b: int = 123) -> R" as the first docstring line.
    signature = getattr(tovalib.NeighborSampler, method).__doc__.splitlines()[0]
    inner = signature[signature.index("(") + 1 : signature.rindex(") ->")]
    parameters = []
    for part in re.split(r", (?=\w+:)", inner):
        name, _, rest = part.partition(":")
        default = rest.split(" = ")[1] if " = " in rest else None
        parameters.append((name.strip(), default))
    return parameters


@pytest.mark.parametrize("method", ["__init__", "sample"])
def test_stub_parameters_match_the_module(method):
    assert stub_parameters(method) == runtime_parameters(method)


def test_stubtest_finds_no_drift():
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "tovalib",
            "--allowlist",
            str(ROOT / "stubs" / "stubtest-allowlist.txt"),
        ],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
