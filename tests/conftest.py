"""Shared fixtures: a tiny citation graph small enough to check results by hand.

paper 0..5 (times 10, 20, ..., 60) and author 0..2 (times 5, 15, 25).
  paper__cites__paper        column v holds every earlier paper, 0 .. v-1
  author__writes__paper      p0:[0] p1:[1] p2:[0,1] p3:[2] p4:[0,2] p5:[1,2]
  paper__rev_writes__author  a0:[0,2,4] a1:[1,2,5] a2:[3,4,5]
Every column is sorted by neighbour time, as the timed modes require.
"""

import numpy as np
import pytest

import tovalib

CITES = "paper__cites__paper"
WRITES = "author__writes__paper"
REV_WRITES = "paper__rev_writes__author"


def i64(*values):
    return np.array(values, dtype=np.int64)


EMPTY = i64()


def tiny_graph():
    return dict(
        node_types=["paper", "author"],
        edge_types=[("paper", "cites", "paper"), ("author", "writes", "paper"),
                    ("paper", "rev_writes", "author")],
        colptr={CITES: i64(0, 0, 1, 3, 6, 10, 15), WRITES: i64(0, 1, 2, 4, 5, 7, 9),
                REV_WRITES: i64(0, 3, 6, 9)},
        row={CITES: i64(0, 0, 1, 0, 1, 2, 0, 1, 2, 3, 0, 1, 2, 3, 4),
             WRITES: i64(0, 1, 0, 1, 2, 0, 2, 1, 2), REV_WRITES: i64(0, 2, 4, 1, 2, 5, 3, 4, 5)},
        node_time={"paper": i64(10, 20, 30, 40, 50, 60), "author": i64(5, 15, 25)},
    )


@pytest.fixture
def graph():
    return tiny_graph()


@pytest.fixture
def make_sampler():
    """Builds a NeighborSampler over the tiny graph, with any argument replaced."""

    def make(**overrides):
        return tovalib.NeighborSampler(**{**tiny_graph(), **overrides})

    return make
