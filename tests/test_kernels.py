"""The sampler's C++ kernels on their own, built from the source tree with the system compiler.

They compile without Python; these checks reach states a Python call cannot reach in test time.
"""

from __future__ import annotations

import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KERNEL_TESTS = os.path.join(ROOT, "tests", "kernels")
COMPILER = shutil.which("c++") or shutil.which("g++")

pytestmark = [
    pytest.mark.skipif(
        not os.path.isdir(os.path.join(ROOT, "sampler")), reason="needs the source tree"
    ),
    pytest.mark.skipif(COMPILER is None, reason="needs a C++ compiler"),
]


@pytest.mark.parametrize(
    "source", sorted(f for f in os.listdir(KERNEL_TESTS) if f.endswith(".cpp"))
)
def test_kernel(source, tmp_path):
    binary = tmp_path / "test"
    subprocess.run(
        [
            COMPILER,
            "-std=c++17",
            "-O1",
            "-UNDEBUG",
            "-I",
            ROOT,
            "-o",
            binary,
            os.path.join(KERNEL_TESTS, source),
        ],
        check=True,
    )
    run = subprocess.run([binary], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("ok")
