"""Random graphs through the native module and the pure-Python reference.

Results must agree exactly (pairs and their order), or both calls must fail
with the same message; the report line on stderr must agree as well.
"""

import collections
import functools
import json
import os
import random
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from reference import (  # noqa: E402
    adjacency_matrix,
    compute,
    compute_from_flag_text,
    compute_from_matrix,
    directed_flag_complex,
    flag_text,
    run_native,
)
from tolva import (  # noqa: E402
    compute_q_near_graph_new,
    compute_q_near_graph_new_from_file,
    compute_q_near_graph_old,
    compute_q_near_graph_old_from_file,
)

U64_MAX = 2**64 - 1
MAX_SIMPLICES = 250  # keeps the slow reference and the pair counts small

MATRIX_FUNCTIONS = {"old": compute_q_near_graph_old, "new": compute_q_near_graph_new}
FILE_FUNCTIONS = {"old": compute_q_near_graph_old_from_file,
                  "new": compute_q_near_graph_new_from_file}

# Random choices come from Hypothesis itself (st.randoms()), so a failing case shrinks and
# is replayed by the @reproduce_failure blob printed with it.
FIXTURES_IN_GIVEN = settings(
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


# ----------------------------------------------------------------- strategies


@st.composite
def graphs(draw, max_n=7):
    """(n, edges): edges may repeat and often come in both directions.

    Half the graphs are drawn edge by edge (these shrink well), half are
    random graphs of a drawn density, which reach the higher dimensions.
    """
    n = draw(st.sampled_from(list(range(max_n + 1)) + list(range(4, max_n + 1)) * 2))
    if n < 2:
        return n, []
    if draw(st.sampled_from([True, True, False])):
        rng = draw(st.randoms())
        density = draw(st.sampled_from([0.4, 0.6, 0.8, 1.0]))
        return n, [(u, v) for u in range(n) for v in range(n)
                   if u != v and rng.random() < density]
    # A vertex and a non-zero offset give a pair of distinct vertices.
    pair = st.builds(lambda u, d: (u, (u + d) % n), st.integers(0, n - 1), st.integers(1, n - 1))
    one_way = draw(st.lists(pair, max_size=16))
    both_ways = draw(st.lists(pair, max_size=6))
    return n, one_way + [e for p in both_ways for e in (p, p[::-1])]


def trimmed(n, edges, q, max_dim):
    """The graph without its last edges, so that the complex stays small."""
    edges = list(edges)
    while sum(map(len, directed_flag_complex(n, edges, q, max_dim))) > MAX_SIMPLICES:
        edges = edges[:-max(1, len(edges) // 8)]
    return edges


@st.composite
def parameters(draw):
    """(q, i, j, max_dimension); i and j are sometimes out of range."""
    q = draw(st.integers(0, 3))
    # Face positions 0..q+1 are valid; q+2 and q+3 come up about one time in ten.
    positions = list(range(q + 2)) * -(-18 // (q + 2)) + [q + 2, q + 3]
    i = draw(st.sampled_from(positions))
    j = draw(st.sampled_from(positions))
    # The bounds that give the algorithms something to do come twice.
    choices = [U64_MAX, q + 1, q + 2, U64_MAX, q + 1, q + 2, "any", q] + ([q - 1] if q > 0 else [])
    max_dim = draw(st.sampled_from(choices))
    if max_dim == "any":
        max_dim = draw(st.sampled_from(range(7)))
    return q, i, j, max_dim


@st.composite
def matrices(draw, n, edges):
    """A uint64 matrix of the graph, with entries that add no edge and varied layout.

    Occasionally a 1 on the diagonal or an extra column makes the scan fail.
    """
    rng = draw(st.randoms())
    a = adjacency_matrix(n, edges)
    if n:
        noise = st.tuples(st.integers(0, n - 1), st.integers(0, n - 1),
                          st.sampled_from([0, 2, 3, 255, 2**63, U64_MAX]))
        for r, c, value in draw(st.lists(noise, max_size=3)):
            a[r, c] = value
        if rng.random() < 0.05:
            v = draw(st.integers(0, n - 1))
            a[v, v] = 1
    if rng.random() < 0.03:
        a = np.hstack([a, np.zeros((n, 1), dtype=np.uint64)])
    layout = draw(st.sampled_from(["C", "F", "strided", "reversed"]))
    if layout == "F":
        a = np.asfortranarray(a)
    elif layout == "strided":
        big = np.full((2 * a.shape[0], 2 * a.shape[1]), 7, dtype=np.uint64)
        big[::2, ::2] = a
        a = big[::2, ::2]
    elif layout == "reversed":
        a = np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]
    return a


@st.composite
def flag_files(draw, n, edges):
    """Text of a .flag file for the graph, with the reader's harmless variations.

    Occasionally an edge line with a bad number or an out-of-range vertex is
    added, which makes the reader fail.
    """
    rng = draw(st.randoms())
    any_text = st.sampled_from(["dim 0", "", "any text 1 2", "x", "3 4"])
    vertex_token = st.sampled_from(["0", "v", "1.5", "abc"])
    gap = st.sampled_from([" ", "  "])
    line2 = "".join(draw(vertex_token) + draw(gap) for _ in range(n))
    if draw(st.booleans()):
        line2 = " " + line2.rstrip()
    lines = [draw(any_text), line2, draw(st.sampled_from(["dim 1", "", "7 8"]))]

    def edge_line(u, v):
        form = draw(st.sampled_from(
            ["{} {}", "  {}   {}  ", "+{} {}", "{} +{}", "0{} {}", "{} {} 2.5", "{} {} x y"]))
        return form.format(u, v)

    noise_line = st.sampled_from(["", "   ", "5", "1\t2", "4 4", "99 99", "+0 0"])
    for u, v in edges:
        if rng.random() < 0.2:
            lines.append(draw(noise_line))
        lines.append(edge_line(u, v))
    if rng.random() < 0.1:
        bad = draw(st.sampled_from([
            "x 1", "-1 0", "0 -1", "1 2x", "+ 0", "1\t2 3", "18446744073709551616 0",
            "0 99999999999999999999999", "18446744073709551615 0", "0 18446744073709551615",
            "{n} 0", "0 {n}", "{m} 0", "0 {m}",
        ]))
        where = draw(st.integers(3, len(lines)))
        lines.insert(where, bad.format(n=n, m=n + 5))
    end = draw(st.sampled_from(["\n", "\r\n"]))
    text = end.join(lines)
    if draw(st.booleans()):
        text += end
    return text


# --------------------------------------------------------------- the checks


def check_native(function, source, args, expected, capfd):
    """Call the module and compare result and stderr with the reference outcome."""
    capfd.readouterr()
    outcome = run_native(function, source, *args)
    err = capfd.readouterr().err
    if expected[0] == "ok":
        assert outcome == ("ok", expected[1])
        assert err == expected[2]
    else:
        assert outcome == expected
        assert "edges().len()" not in err


@settings(FIXTURES_IN_GIVEN, max_examples=100)
@given(data=st.data(), graph=graphs(), params=parameters())
def test_matrix_calls_match_reference(data, graph, params, capfd):
    n, edges = graph
    edges = trimmed(n, edges, params[0], params[3])
    a = data.draw(matrices(n, edges))
    for kind, function in MATRIX_FUNCTIONS.items():
        expected = compute_from_matrix(kind, a, *params)
        check_native(function, a, params, expected, capfd)


@settings(FIXTURES_IN_GIVEN, max_examples=100)
@given(data=st.data(), graph=graphs(), params=parameters())
def test_file_calls_match_reference(data, graph, params, tmp_path, capfd):
    n, edges = graph
    edges = trimmed(n, edges, params[0], params[3])
    text = data.draw(flag_files(n, edges))
    path = tmp_path / "graph.flag"
    path.write_bytes(text.encode())
    for kind, function in FILE_FUNCTIONS.items():
        expected = compute_from_flag_text(kind, text, *params)
        check_native(function, str(path), params, expected, capfd)


@settings(FIXTURES_IN_GIVEN, max_examples=40)
@pytest.mark.parametrize("kind", ["new", "old"])
@given(graph=graphs(), params=parameters())
def test_matrix_and_file_agree(kind, graph, params, tmp_path):
    n, edges = graph
    edges = trimmed(n, edges, params[0], params[3])
    path = tmp_path / "same.flag"
    path.write_text(flag_text(n, edges))
    from_matrix = run_native(MATRIX_FUNCTIONS[kind], adjacency_matrix(n, edges), *params)
    from_file = run_native(FILE_FUNCTIONS[kind], str(path), *params)
    assert from_matrix == from_file


# ------------------------------------------------------ large sparse graphs


def sparse_graph_with_hubs(seed, n):
    """A few thousand (or more) vertices, about three edges each, shuffled, with repeats and
    self-loops, plus two out-hubs and one in-hub reaching a tenth of the vertices (at most
    300: the reference extends a hub's simplices in quadratic time)."""
    rng = random.Random(seed)
    hubs = rng.sample(range(n), 3)
    reach = min(n // 10, 300)
    edges = [(rng.randrange(n), rng.randrange(n)) for _ in range(3 * n)]
    for hub in hubs[:2]:
        edges += [(hub, v) for v in rng.sample(range(n), reach)]
    edges += [(v, hubs[2]) for v in rng.sample(range(n), reach)]
    # Triangles through the hubs, so that the hubs' neighbourhoods hold simplices.
    edges += [(hubs[0], hubs[1]), (hubs[1], hubs[2]), (hubs[0], hubs[2]), (hubs[2], hubs[0])]
    edges += edges[: n // 4]  # repeated edges keep their first place
    rng.shuffle(edges)
    return edges


SPARSE_CASES = [
    # (seed, n, q, i, j, max_dimension)
    (1, 2000, 0, 0, 1, 2),
    (2, 3000, 1, 0, 1, U64_MAX),
    (3, 3000, 1, 1, 1, 3),
    (4, 70000, 1, 2, 0, 3),  # beyond 65536 vertices: wide vertex numbers
]


@pytest.mark.parametrize("kind", ["new", "old"])
@pytest.mark.parametrize("seed,n,q,i,j,max_dim", SPARSE_CASES)
def test_sparse_graphs_with_hubs_match_reference(kind, seed, n, q, i, j, max_dim, tmp_path, capfd):
    text = flag_text(n, sparse_graph_with_hubs(seed, n))
    path = tmp_path / "sparse.flag"
    path.write_text(text)
    expected = compute_from_flag_text(kind, text, q, i, j, max_dim)
    assert expected[0] == "ok" and len(expected[1]) > 100  # the hubs give the algorithms work
    check_native(FILE_FUNCTIONS[kind], str(path), (q, i, j, max_dim), expected, capfd)


@pytest.mark.parametrize("kind", ["new", "old"])
@pytest.mark.parametrize("seed,n,q,i,j,max_dim", SPARSE_CASES[:2])  # positions dense, then sparse
def test_result_ints_are_held_by_their_pairs_only(kind, seed, n, q, i, j, max_dim, tmp_path):
    # Pairs share int objects; the conversion must give back every reference of its own.
    path = tmp_path / "sparse.flag"
    path.write_text(flag_text(n, sparse_graph_with_hubs(seed, n)))
    result = FILE_FUNCTIONS[kind](str(path), q, i, j, max_dim)
    uses = collections.Counter(id(x) for pair in result for x in pair)
    objects = {id(x): x for pair in result for x in pair}
    assert len(objects) < sum(uses.values())  # some ints are shared
    for key in objects:
        if objects[key] > 256:  # the interpreter's own small ints have other holders
            held = sys.getrefcount(objects[key]) - 2  # less the dict's and the argument's
            assert held == uses[key]


@pytest.mark.parametrize("bad_line", ["{n} 7", "7 {n}", "12 x"])
def test_sparse_graph_failures_match_reference(bad_line, tmp_path, capfd):
    n = 3000
    lines = flag_text(n, sparse_graph_with_hubs(5, n)).split("\n")
    lines.insert(len(lines) // 2, bad_line.format(n=n))
    text = "\n".join(lines)
    path = tmp_path / "bad.flag"
    path.write_text(text)
    for kind, function in FILE_FUNCTIONS.items():
        expected = compute_from_flag_text(kind, text, 1, 0, 1, 3)
        assert expected[0] == "panic"
        check_native(function, str(path), (1, 0, 1, 3), expected, capfd)


def test_sparse_matrix_and_file_agree(tmp_path):
    n = 2500
    edges = sparse_graph_with_hubs(6, n)
    path = tmp_path / "sparse.flag"
    path.write_text(flag_text(n, edges))
    a = adjacency_matrix(n, edges)
    for kind in ("new", "old"):
        from_matrix = run_native(MATRIX_FUNCTIONS[kind], a, 1, 0, 1, 3)
        assert from_matrix[0] == "ok" and len(from_matrix[1]) > 100
        assert from_matrix == run_native(FILE_FUNCTIONS[kind], str(path), 1, 0, 1, 3)


# ---------------------------------------------------- worker-count independence

WORKER_SCRIPT = r"""
import json
import numpy as np
import tolva
out = []
for n, edges, q, i, j, max_dim in json.loads(CASES):
    a = np.zeros((n, n), dtype=np.uint64)
    for s, t in edges:
        a[s, t] = 1
    out.append(tolva.compute_q_near_graph_old(a, q, i, j, max_dim))
    out.append(tolva.compute_q_near_graph_new(a, q, i, j, max_dim))
print(json.dumps(out))
"""


def random_graph(rng, n, p):
    return [(u, v) for u in range(n) for v in range(n) if u != v and rng.random() < p]


def worker_cases():
    rng = random.Random(20240607)
    cases = []
    for n, p, q, i, j, max_dim in [(30, 0.2, 0, 0, 1, U64_MAX), (30, 0.25, 1, 2, 0, 3),
                                   (24, 0.3, 0, 1, 1, 2), (40, 0.12, 0, 1, 0, U64_MAX)]:
        cases.append((n, random_graph(rng, n, p), q, i, j, max_dim))
    return cases


def test_results_do_not_depend_on_worker_count(run_python):
    cases = worker_cases()
    code = f"CASES = {json.dumps(cases)!r}\n" + WORKER_SCRIPT
    runs = []
    for count in ("1", "2", "3", "7"):
        done = run_python(code, env={"RAYON_NUM_THREADS": count}, timeout=300)
        assert done.returncode == 0, done.stderr
        runs.append((json.loads(done.stdout), done.stderr))
    expected = []
    for n, edges, q, i, j, max_dim in cases:
        for kind in ("old", "new"):
            outcome = compute(kind, n, edges, q, i, j, max_dim)
            assert outcome[0] == "ok"
            expected.append(outcome)
    assert all(run == runs[0] for run in runs[1:])
    assert runs[0][0] == [outcome[1] for outcome in expected]
    assert runs[0][1] == "".join(outcome[2] for outcome in expected)


LARGE_FILE_SCRIPT = """
import json
import tolva
print(json.dumps([tolva.compute_q_near_graph_old_from_file({path!r}, {q}, {i}, {j}, {max_dim}),
                  tolva.compute_q_near_graph_new_from_file({path!r}, {q}, {i}, {j}, {max_dim})]))
"""


# Streams of a few hundred thousand attempted pairs, filed and checked for repeats on the
# workers in partitions, with the pairs of a face of the lowest dimension among them unchecked.
@pytest.mark.parametrize("workers", ["1", "2", "5"])
@pytest.mark.parametrize("params", [(2, 0, 1, 3), (3, 1, 0, 4)])
def test_large_results_match_reference_at_every_worker_count(run_python, workers, params):
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "celegans_herm_chemical.flag")
    q, i, j, max_dim = params
    code = LARGE_FILE_SCRIPT.format(path=path, q=q, i=i, j=j, max_dim=max_dim)
    done = run_python(code, env={"RAYON_NUM_THREADS": workers}, timeout=300)
    assert done.returncode == 0, done.stderr
    with open(path) as handle:
        text = handle.read()
    expected = [compute_from_flag_text(kind, text, *params) for kind in ("old", "new")]
    assert all(outcome[0] == "ok" for outcome in expected)
    assert json.loads(done.stdout) == [[list(pair) for pair in outcome[1]] for outcome in expected]
    assert done.stderr == "".join(outcome[2] for outcome in expected)


def column_graph(seed, n):
    """A small seeded stand-in for a cortical column: points in a box, each ordered pair an
    edge with a probability falling with distance and biased along a hidden vertex order
    (directed cliques are common, and their faces are shared by many cofaces)."""
    rng = np.random.default_rng(seed)
    points = rng.random((n, 3)) * np.array([1.0, 1.0, 4.0])
    rank = rng.permutation(n)
    distance = np.linalg.norm(points[:, None, :] - points[None, :, :], axis=2)
    weight = np.exp(-distance / 0.45) * np.where(rank[:, None] < rank[None, :], 1.6, 0.4)
    keep = rng.random((n, n)) < np.minimum(1.0, weight)
    np.fill_diagonal(keep, False)
    return [(int(s), int(t)) for s, t in zip(*np.nonzero(keep))]


COLUMN_SCRIPT = """
import json
import tolva
print(json.dumps([tolva.compute_q_near_graph_old_from_file({path!r}, {q}, {i}, {j}, {max_dim}),
                  tolva.compute_q_near_graph_new_from_file({path!r}, {q}, {i}, {j}, {max_dim})]))
"""


# Pieces, chunks and the partitions checked for repeats on 1, 2 and 7 workers, on a clustered
# graph where most q-simplices are faces of nothing filed and a few are shared by many.
@functools.lru_cache(maxsize=None)
def column_reference(text, params):
    return [compute_from_flag_text(kind, text, *params) for kind in ("old", "new")]


@pytest.mark.parametrize("workers", ["1", "2", "7"])
@pytest.mark.parametrize("params", [(1, 0, 1, 4), (2, 2, 2, 5)])
def test_column_graph_matches_reference_at_every_worker_count(run_python, workers, params, tmp_path):
    n = 90
    text = flag_text(n, column_graph(11, n))
    path = tmp_path / "column.flag"
    path.write_text(text)
    q, i, j, max_dim = params
    done = run_python(COLUMN_SCRIPT.format(path=str(path), q=q, i=i, j=j, max_dim=max_dim),
                      env={"RAYON_NUM_THREADS": workers}, timeout=300)
    assert done.returncode == 0, done.stderr
    expected = column_reference(text, params)
    assert all(outcome[0] == "ok" and len(outcome[1]) > 100000 for outcome in expected)
    assert json.loads(done.stdout) == [[list(pair) for pair in outcome[1]] for outcome in expected]
    assert done.stderr == "".join(outcome[2] for outcome in expected)
