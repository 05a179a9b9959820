"""tolva_arrays against the list functions and the pure-Python reference.

Every input form of the same graph must give the complex the list functions enumerate, and
q_near_graph(...).tolist() the very list they return; simplices() must list the reference's
simplices in position order.
"""

import os
import pathlib
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import test_differential as differential  # noqa: E402
from reference import adjacency_matrix, directed_flag_complex, flag_text  # noqa: E402

import tolva  # noqa: E402
from tolva_arrays import DirectedFlagComplex  # noqa: E402

U64_MAX = 2**64 - 1
LIST_FUNCTIONS = {"old": tolva.compute_q_near_graph_old, "new": tolva.compute_q_near_graph_new}
SPARSE_FORMATS = ["csr", "csc", "coo", "lil", "dok", "bsr"]


def weighted(a, rng):
    """The same graph with the edges' entries spread over other nonzero values."""
    return a.astype(np.float64) * rng.choice([0.5, 2.0, -1.0, 7.25], size=a.shape)


def input_forms(n, edges, tmp_path, rng):
    """Every accepted form of one graph, by name."""
    a = adjacency_matrix(n, edges)
    path = tmp_path / "graph.flag"
    path.write_text(flag_text(n, edges))
    repeated = edges + edges[: len(edges) // 2]
    forms = {
        "uint64": a,
        "bool": a.astype(bool),
        "int8 transposed view": np.ascontiguousarray(a.T.astype(np.int8)).T,
        "weighted float": weighted(a, rng),
        "float32 fortran": np.asfortranarray(a.astype(np.float32)),
        "edges int64": (n, np.array(repeated, dtype=np.int64).reshape(-1, 2)),
        "edges uint16 list": (n, np.array(repeated, dtype=np.uint16).reshape(-1, 2)),
        "path str": str(path),
        "path Path": pathlib.Path(path),
    }
    sparse = pytest.importorskip("scipy.sparse")
    for fmt in SPARSE_FORMATS:
        forms[f"scipy {fmt}"] = sparse.csr_matrix(weighted(a, rng)).asformat(fmt)
    if hasattr(sparse, "csr_array"):
        forms["scipy csr_array"] = sparse.csr_array(a)
    return forms


def list_outcome(kind, a, q, i, j, max_dim):
    """("ok", pairs) of the list function, or ("bad face", None) where it panics on i or j."""
    try:
        return ("ok", LIST_FUNCTIONS[kind](a, q, i, j, max_dim))
    except BaseException as error:  # PanicException derives from BaseException
        if type(error).__name__ != "PanicException" or not str(error).startswith("removal index"):
            raise
        return ("bad face", None)


def array_outcome(complex_, kind, i, j):
    try:
        pairs = complex_.q_near_graph(kind, i, j)
    except ValueError as error:
        assert "above q + 1" in str(error)
        return ("bad face", None)
    assert pairs.dtype == np.uint32 and pairs.ndim == 2 and pairs.shape[1] == 2
    assert pairs.flags.c_contiguous
    assert pairs.size == 0 or pairs.base is not None  # the native buffer itself, not a copy
    return ("ok", pairs.tolist())


@settings(differential.FIXTURES_IN_GIVEN, max_examples=60)
@given(graph=differential.graphs(), params=differential.parameters(), seed=st.integers(0, 2**32 - 1))
def test_every_input_form_matches_the_list_functions(graph, params, seed, tmp_path_factory):
    n, edges = graph
    q, i, j, max_dim = params
    edges = differential.trimmed(n, edges, q, max_dim)
    a = adjacency_matrix(n, edges)
    expected = {kind: list_outcome(kind, a, q, i, j, max_dim) for kind in LIST_FUNCTIONS}
    reference = directed_flag_complex(n, edges, q, max_dim)
    tmp_path = tmp_path_factory.mktemp("forms")
    for name, form in input_forms(n, edges, tmp_path, np.random.default_rng(seed)).items():
        complex_ = DirectedFlagComplex(form, q, None if max_dim == U64_MAX else max_dim)
        assert complex_.counts.tolist() == [len(simplices) for simplices in reference], name
        for kind in LIST_FUNCTIONS:
            assert array_outcome(complex_, kind, i, j) == expected[kind], (name, kind)


@settings(differential.FIXTURES_IN_GIVEN, max_examples=60)
@given(graph=differential.graphs(), params=differential.parameters())
def test_simplices_are_the_reference_simplices_in_position_order(graph, params):
    n, edges = graph
    q, _, _, max_dim = params
    edges = differential.trimmed(n, edges, q, max_dim)
    reference = directed_flag_complex(n, edges, q, max_dim)
    complex_ = DirectedFlagComplex((n, np.array(edges, dtype=np.int64).reshape(-1, 2)), q, max_dim)
    position = 0
    for dimension in range(q, q + len(reference) + 2):
        rows = complex_.simplices(dimension)
        expected = reference[dimension - q] if dimension - q < len(reference) else []
        assert rows.dtype == np.uint32 and rows.shape == (len(expected), dimension + 1)
        assert [tuple(row) for row in rows.tolist()] == expected
        assert complex_.first_position(dimension) == position
        position += len(expected)


@pytest.mark.parametrize("kind", ["old", "new"])
@pytest.mark.parametrize("seed,n,q,i,j,max_dim", differential.SPARSE_CASES)
def test_sparse_graphs_with_hubs_match_the_list_functions(kind, seed, n, q, i, j, max_dim, tmp_path):
    edges = differential.sparse_graph_with_hubs(seed, n)
    path = tmp_path / "sparse.flag"
    path.write_text(flag_text(n, edges))
    expected = getattr(tolva, f"compute_q_near_graph_{kind}_from_file")(str(path), q, i, j, max_dim)
    loops_dropped = np.array([e for e in edges if e[0] != e[1]], dtype=np.int64)
    for form in (str(path), (n, loops_dropped)):
        complex_ = DirectedFlagComplex(form, q, max_dim)
        assert complex_.q_near_graph(kind, i, j).tolist() == expected


def test_one_complex_answers_every_face_pair_like_separate_list_calls():
    rng = np.random.default_rng(5)
    a = (rng.random((14, 14)) < 0.45).astype(np.uint64)
    np.fill_diagonal(a, 0)
    q, max_dim = 1, 4
    complex_ = DirectedFlagComplex(a, q, max_dim)
    for i in range(q + 2):
        for j in range(q + 2):
            for kind, function in LIST_FUNCTIONS.items():
                assert complex_.q_near_graph(kind, i, j).tolist() == function(a, q, i, j, max_dim), (kind, i, j)


def test_a_sparse_entry_is_what_the_matrix_holds_there():
    sparse = pytest.importorskip("scipy.sparse")
    # (0, 1) stored twice, cancelling out; (1, 2) stored as an explicit zero; (0, 2) twice, adding up.
    rows, cols, values = [0, 0, 1, 0, 0], [1, 1, 2, 2, 2], [1.0, -1.0, 0.0, 0.5, 0.5]
    matrix = sparse.coo_matrix((values, (rows, cols)), shape=(3, 3))
    complex_ = DirectedFlagComplex(matrix, 1, 1)
    assert complex_.simplices(1).tolist() == [[0, 2]]
    assert matrix.nnz == 5  # the caller's matrix is left as it was


def test_attributes():
    complex_ = DirectedFlagComplex(np.ones((4, 4)) - np.eye(4), 1)
    assert (complex_.vertex_count, complex_.q, complex_.max_dimension) == (4, 1, None)
    assert complex_.counts.dtype == np.int64 and complex_.counts.tolist() == [12, 24, 24]
    assert [complex_.first_position(d) for d in (1, 2, 3, 4, 9)] == [0, 12, 36, 60, 60]
    bounded = DirectedFlagComplex(np.ones((4, 4)) - np.eye(4), 0, 2)
    assert bounded.max_dimension == 2 and bounded.counts.tolist() == [4, 12, 24]
    assert "counts=[4, 12, 24]" in repr(bounded)
    empty = DirectedFlagComplex((0, np.empty((0, 2), dtype=np.int64)), 0)
    assert empty.counts.tolist() == [] and empty.q_near_graph("old", 0, 1).shape == (0, 2)


def test_wide_vertex_numbers_come_back_exactly():
    n = 70000  # beyond 16-bit vertex storage
    edges = np.array([[69999, 5], [5, 69998], [69999, 69998], [3, 5]], dtype=np.uint64)
    complex_ = DirectedFlagComplex((n, edges), 2)
    assert complex_.simplices(2).tolist() == [[69999, 5, 69998]]
