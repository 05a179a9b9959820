"""Known-answer tests of both q-near algorithms, order of the pairs included.

Every case runs three ways: the native module from a matrix, the native module
from a .flag file, and the pure-Python reference (which must reproduce the
hand-derived answers too, or the differential tests would be worthless).
"""

import json
import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from reference import (  # noqa: E402
    NEW_REPORT,
    OLD_REPORT,
    adjacency_matrix,
    compute,
    directed_flag_complex,
    flag_text,
    graph_from_flag_text,
    run_native,
    simplex_index,
)
from tolva import (  # noqa: E402
    compute_q_near_graph_new,
    compute_q_near_graph_new_from_file,
    compute_q_near_graph_old,
    compute_q_near_graph_old_from_file,
)

U64_MAX = 2**64 - 1

# 0->1, 0->2, 1->2: the complex is (0) (1) (2) | (0,1) (0,2) (1,2) | (0,1,2), positions 0..6.
TRIANGLE = (3, [(0, 1), (0, 2), (1, 2)])
# 1->0, 1->2, 2->0: (0) (1) (2) | (1,0) (1,2) (2,0) | (1,2,0), positions 0..6.
TRIANGLE_FROM_1 = (3, [(1, 0), (1, 2), (2, 0)])
# (0) (1) (2) (3) | (0,3) (1,2) (1,3) (2,3) | (1,2,3), positions 0..8.
FOUR = (4, [(0, 3), (1, 2), (1, 3), (2, 3)])
SINGLE_EDGE = (2, [(0, 1)])
NO_EDGES = (3, [])
EMPTY = (0, [])

TRIANGLE_FACE_PAIRS = [(0, 6), (1, 6), (2, 6), (3, 6), (4, 6), (5, 6),
                       (0, 3), (1, 3), (0, 4), (2, 4), (1, 5), (2, 5)]


def ok(*pairs):
    return ("ok", [list(p) for p in pairs])


def panic(message):
    return ("panic", message)


# (id, algorithm, graph, q, i, j, max_dimension, expected outcome)
CASES = [
    # --- new algorithm
    ("new-typical-request", "new", TRIANGLE, 0, 0, 1, 2,
     ok((3, 5), (3, 6), (6, 5), (0, 6), (1, 6), (2, 6), (4, 6), (5, 6),
        (0, 3), (1, 3), (0, 4), (2, 4), (1, 5), (2, 5))),
    ("new-triangle-i1-j0", "new", TRIANGLE, 0, 1, 0, 2,
     ok((5, 3), (5, 6), (6, 3), (0, 6), (1, 6), (2, 6), (3, 6), (4, 6),
        (0, 3), (1, 3), (0, 4), (2, 4), (1, 5), (2, 5))),
    ("new-triangle-i0-j0", "new", TRIANGLE, 0, 0, 0, 2,
     ok((3, 3), (3, 6), (6, 3), (4, 4), (4, 6), (6, 4), (4, 5), (6, 5), (5, 4),
        (5, 6), (5, 5), (0, 6), (1, 6), (2, 6), (0, 3), (1, 3), (0, 4), (2, 4),
        (1, 5), (2, 5))),
    ("new-unbounded-dimension", "new", TRIANGLE, 0, 0, 1, U64_MAX,
     ok((3, 5), (3, 6), (6, 5), (0, 6), (1, 6), (2, 6), (4, 6), (5, 6),
        (0, 3), (1, 3), (0, 4), (2, 4), (1, 5), (2, 5))),
    # Two lists only: the incidence pairs are the bare (a, b), then each
    # edge's two vertex faces.
    ("new-two-lists", "new", TRIANGLE, 0, 0, 1, 1,
     ok((3, 5), (0, 3), (1, 3), (0, 4), (2, 4), (1, 5), (2, 5))),
    ("new-q1-i0-j2", "new", TRIANGLE, 1, 0, 2, 2, ok((0, 3), (1, 3), (2, 3))),
    ("new-q1-i0-j2-unbounded", "new", TRIANGLE, 1, 0, 2, U64_MAX,
     ok((0, 3), (1, 3), (2, 3))),
    ("new-faces-within-edges-only", "new", FOUR, 0, 0, 1, 2,
     ok((5, 7), (5, 8), (8, 7), (1, 8), (2, 8), (3, 8), (6, 8), (7, 8), (0, 4),
        (3, 4), (1, 5), (2, 5), (1, 6), (3, 6), (2, 7), (3, 7))),
    # A complex of fewer than two lists gives the empty graph; i and j unused.
    ("new-one-list", "new", NO_EDGES, 0, 0, 1, 2, ok()),
    ("new-one-list-bad-i", "new", NO_EDGES, 0, 7, U64_MAX, 2, ok()),
    ("new-one-list-by-dimension", "new", TRIANGLE, 0, 0, 1, 0, ok()),
    ("new-one-list-q2", "new", TRIANGLE, 2, 9, 9, 5, ok()),
    ("new-no-lists-empty-graph", "new", EMPTY, 0, 0, 1, 2, ok()),
    ("new-no-lists-q-above-max", "new", TRIANGLE, 2, 0, 1, 1, ok()),
    ("new-no-lists-q1-no-edges", "new", NO_EDGES, 1, 5, 5, 3, ok()),
    ("new-bad-j", "new", TRIANGLE, 0, 0, 2, 2,
     panic("removal index (is 2) should be < len (is 2)")),
    ("new-bad-i-before-j", "new", TRIANGLE, 0, 3, 9, 2,
     panic("removal index (is 3) should be < len (is 2)")),
    ("new-bad-j-q1", "new", TRIANGLE, 1, 0, 3, 2,
     panic("removal index (is 3) should be < len (is 3)")),
    ("new-bad-j-huge", "new", SINGLE_EDGE, 0, 1, U64_MAX, 1,
     panic(f"removal index (is {U64_MAX}) should be < len (is 2)")),
    # --- old algorithm
    ("old-worked-example", "old", TRIANGLE, 0, 0, 1, 2,
     ok((3, 5), (6, 5), (4, 6), (5, 6), (0, 6), (1, 6), (2, 6), (3, 6),
        (0, 3), (1, 3), (0, 4), (2, 4), (1, 5), (2, 5))),
    ("old-i0-j0", "old", TRIANGLE, 0, 0, 0, 2,
     ok((3, 6), (6, 3), (4, 5), (5, 4), (4, 6), (5, 6), (6, 4), (6, 5),
        (0, 6), (1, 6), (2, 6), (0, 3), (1, 3), (0, 4), (2, 4), (1, 5), (2, 5))),
    ("old-shared-vertex", "old", TRIANGLE_FROM_1, 0, 1, 0, 2,
     ok((6, 3), (6, 5), (5, 4), (5, 6), (1, 6), (2, 6), (0, 6), (4, 6), (3, 6),
        (1, 3), (0, 3), (1, 4), (2, 4), (2, 5), (0, 5))),
    ("old-bad-i", "old", SINGLE_EDGE, 0, 2, 0, 2,
     panic("removal index (is 2) should be < len (is 2)")),
    ("old-bad-j", "old", SINGLE_EDGE, 0, 0, 5, 2,
     panic("removal index (is 5) should be < len (is 2)")),
    ("old-bad-i-before-j", "old", TRIANGLE, 0, 4, 3, U64_MAX,
     panic("removal index (is 4) should be < len (is 2)")),
    # No lists, or only the list of q-simplices: empty graph, i and j unused.
    ("old-no-lists-empty-graph", "old", EMPTY, 0, 0, 1, 2, ok()),
    ("old-no-lists-q-above-max", "old", TRIANGLE, 3, 0, 1, 2, ok()),
    ("old-no-lists-q1-no-edges", "old", NO_EDGES, 1, 9, 9, 4, ok()),
    ("old-one-list", "old", NO_EDGES, 0, 9, 9, 2, ok()),
    ("old-one-list-by-dimension", "old", TRIANGLE, 1, 7, 0, 1, ok()),
]

CASE_IDS = [c[0] for c in CASES]

NATIVE = {
    ("old", "matrix"): compute_q_near_graph_old,
    ("new", "matrix"): compute_q_near_graph_new,
    ("old", "file"): compute_q_near_graph_old_from_file,
    ("new", "file"): compute_q_near_graph_new_from_file,
}


def expected_report(kind, outcome):
    template = OLD_REPORT if kind == "old" else NEW_REPORT
    return template.format(len(outcome[1]))


def run_case(kind, form, graph, args, tmp_path, capfd):
    """Run one case natively and return (outcome, captured stderr)."""
    n, edges = graph
    if form == "matrix":
        source = adjacency_matrix(n, edges)
    else:
        path = tmp_path / "graph.flag"
        path.write_text(flag_text(n, edges))
        source = str(path)
    capfd.readouterr()
    outcome = run_native(NATIVE[kind, form], source, *args)
    return outcome, capfd.readouterr().err


@pytest.mark.parametrize("form", ["matrix", "file"])
@pytest.mark.parametrize("name,kind,graph,q,i,j,max_dim,expected", CASES, ids=CASE_IDS)
def test_native_known_answers(name, kind, graph, q, i, j, max_dim, expected, form,
                              tmp_path, capfd):
    outcome, err = run_case(kind, form, graph, (q, i, j, max_dim), tmp_path, capfd)
    assert outcome == expected
    if expected[0] == "ok":
        assert err == expected_report(kind, expected)
        assert all(type(pair) is list for pair in outcome[1])
    else:
        assert "edges().len()" not in err


@pytest.mark.parametrize("name,kind,graph,q,i,j,max_dim,expected", CASES, ids=CASE_IDS)
def test_reference_known_answers(name, kind, graph, q, i, j, max_dim, expected):
    n, edges = graph
    result = compute(kind, n, edges, q, i, j, max_dim)
    if expected[0] == "ok":
        assert result == ("ok", expected[1], expected_report(kind, expected))
    else:
        assert result == expected


def test_typical_request_report_line(capfd):
    capfd.readouterr()
    compute_q_near_graph_new(adjacency_matrix(*TRIANGLE), 0, 0, 1, 2)
    assert capfd.readouterr().err == (
        "[src/tolva/new/single_thread:21] q_graph.edges().len() = 14\n")


def test_old_empty_report_line(capfd):
    capfd.readouterr()
    assert compute_q_near_graph_old(adjacency_matrix(*EMPTY), 0, 0, 1, 2) == []
    assert capfd.readouterr().err == (
        "[src/tolva/original/single_thread:148] q_near_graph.edges().len() = 0\n")


def test_keyword_call_matches_positional():
    a = adjacency_matrix(*TRIANGLE)
    assert (compute_q_near_graph_old(max_dimension=2, j=1, i=0, q=0, a=a)
            == compute_q_near_graph_old(a, 0, 0, 1, 2))


@pytest.mark.parametrize("call", [
    lambda: compute_q_near_graph_new(adjacency_matrix(*TRIANGLE), 0, 0, 2, 2),
    lambda: compute_q_near_graph_old(adjacency_matrix(*SINGLE_EDGE), 0, 2, 0, 2),
    lambda: compute_q_near_graph_new(adjacency_matrix(2, [(1, 1)]), 0, 0, 1, 2),
], ids=["new-removal", "old-removal", "diagonal"])
def test_panic_exception_type(call):
    with pytest.raises(BaseException) as info:
        call()
    e = info.value
    assert isinstance(e, BaseException)
    assert not isinstance(e, Exception)
    assert type(e).__module__ == "pyo3_runtime"
    assert type(e).__name__ == "PanicException"
    assert e.args == (str(e),)


def test_panic_leaves_no_state_behind():
    a = adjacency_matrix(*TRIANGLE)
    assert run_native(compute_q_near_graph_new, a, 0, 0, 2, 2)[0] == "panic"
    assert compute_q_near_graph_new(a, 0, 0, 1, 2) == CASES[0][-1][1]


# ------------------------------------------------- the reference's complex


def all_edges(n):
    return [(a, b) for a in range(n) for b in range(n) if a != b]


@pytest.mark.parametrize("n,edges,q,max_dim,expected", [
    (0, [], 0, 5, []),
    (3, [(0, 1)], 0, 0, [[(0,), (1,), (2,)]]),
    (2, [(0, 1), (1, 0)], 0, 5, [[(0,), (1,)], [(0, 1), (1, 0)]]),
    (3, [(0, 1), (1, 2), (2, 0)], 0, 5,
     [[(0,), (1,), (2,)], [(0, 1), (1, 2), (2, 0)]]),
    (3, [(1, 2), (0, 2), (0, 1)], 1, U64_MAX, [[(0, 1), (0, 2), (1, 2)], [(0, 1, 2)]]),
    (3, all_edges(3), 2, 2,
     [[(0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0)]]),
    (3, all_edges(3), 3, 2, []),
    (3, all_edges(3), 0, 1, [[(0,), (1,), (2,)], [(0, 1), (0, 2), (1, 0), (1, 2), (2, 0), (2, 1)]]),
])
def test_reference_complex(n, edges, q, max_dim, expected):
    complex_ = directed_flag_complex(n, edges, q, max_dim)
    assert complex_ == expected
    flat = [s for simplices in complex_ for s in simplices]
    assert simplex_index(complex_) == {s: p for p, s in enumerate(flat)}


def flagser_dir():
    here = Path(__file__).resolve().parent
    for candidate in (here.parent / "data" / "flagser_tests",):
        if (candidate / "expected.json").exists():
            return candidate
    return None


def flagser_cases():
    folder = flagser_dir()
    if folder is None:
        return []
    expected = json.loads((folder / "expected.json").read_text())
    return [pytest.param(folder / f"{name}.flag", e["cell_counts_by_dim"], id=name)
            for name, e in sorted(expected.items())
            if (folder / f"{name}.flag").exists() and sum(e["cell_counts_by_dim"]) <= 20000]


@pytest.mark.skipif(flagser_dir() is None, reason="flagser test graphs not available")
@pytest.mark.parametrize("path,counts", flagser_cases())
def test_reference_complex_counts(path, counts):
    n, edges = graph_from_flag_text(path.read_text())
    complex_ = directed_flag_complex(n, edges, 0, U64_MAX)
    assert [len(simplices) for simplices in complex_] == counts
