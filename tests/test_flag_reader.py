"""The .flag file reader, seen through the two file functions.

A file and an adjacency matrix that describe the same graph must give the
same results; the reader's failures reach the caller as PanicException.
"""

import errno
import json
import math
import os
import pathlib

import numpy as np
import pytest

import tolva
from worked_example import FILE_FUNCS, MATRIX_FUNCS

CALLS = [(0, 0, 1, 1), (0, 1, 0, 2), (0, 0, 0, 2), (1, 0, 1, 3), (1, 2, 2, 3)]

INVALID_DIGIT = "File Parsing failed: ParseIntError { kind: InvalidDigit }"
POS_OVERFLOW = "File Parsing failed: ParseIntError { kind: PosOverflow }"
NOT_FOUND_PREFIX = "could not find .flag input file: "
PARSING_PREFIX = "File Parsing failed: "

REPORT_NEW = "[src/tolva/new/single_thread:21] q_graph.edges().len() = {}\n"
REPORT_OLD = "[src/tolva/original/single_thread:148] q_near_graph.edges().len() = {}\n"

DATA = pathlib.Path(__file__).resolve().parent.parent / "data" / "flagser_tests"


def adjacency(n, edges):
    m = np.zeros((n, n), dtype=np.uint64)
    for r, c in edges:
        m[r, c] = 1
    return m


def write(tmp_path, content, name="g.flag"):
    path = tmp_path / name
    path.write_bytes(content.encode() if isinstance(content, str) else content)
    return str(path)


def file_results(path):
    return [getattr(tolva, f)(path, *args) for f in FILE_FUNCS for args in CALLS]


def matrix_results(n, edges):
    m = adjacency(n, edges)
    return [getattr(tolva, f)(m, *args) for f in MATRIX_FUNCS for args in CALLS]


def panic_message(func, *args):
    with pytest.raises(BaseException) as info:
        func(*args)
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    return str(info.value)


PATH_3 = [(0, 1), (1, 2)]


def test_distinct_graphs_give_distinct_results():
    # The comparisons below can only tell graphs apart if the results do.
    variants = [(3, PATH_3), (4, PATH_3), (3, [(0, 1)]), (3, [(1, 2)]), (3, [(0, 1), (1, 2), (0, 2)]),
                (3, [(0, 1), (1, 0), (1, 2)]), (3, [(1, 0), (2, 1)])]
    seen = [json.dumps(matrix_results(n, e)) for n, e in variants]
    assert len(set(seen)) == len(seen)


SAME_GRAPH = [
    ("plain", "any text\n0 0 0\nany text\n0 1\n1 2", 3, PATH_3),
    ("final newline", "any text\n0 0 0\nany text\n0 1\n1 2\n", 3, PATH_3),
    ("crlf", "any text\r\n0 0 0\r\nany text\r\n0 1\r\n1 2\r\n", 3, PATH_3),
    ("crlf, last line cr only", "any text\r\n0 0 0\r\nany text\r\n0 1\r\n1 2\r", 3, PATH_3),
    ("extra spaces", "  any  text \n  0   0 0  \n \n   0    1   \n 1 2    \n", 3, PATH_3),
    ("tokens of line 2 not examined", "x\na b c\ny\n0 1\n1 2\n", 3, PATH_3),
    ("tab inside a line-2 token", "x\n0\t0 0 0\ny\n0 1\n1 2\n", 3, PATH_3),
    ("empty first and third line", "\n0 0 0\n\n0 1\n1 2\n", 3, PATH_3),
    ("lines 1 and 3 look like edges", "0 2\n0 0 0\n0 2\n0 1\n1 2\n", 3, PATH_3),
    ("short lines skipped", "x\n0 0 0\ny\n\n0 1\n   \n5\n18446744073709551616\n1 2\n", 3, PATH_3),
    ("third token ignored", "x\n0 0 0\ny\n0 1 2.5\n1 2 junk -3 \t\n", 3, PATH_3),
    ("tab joins into one token", "x\n0 0 0\ny\n0 1\n1\t2\n0\t2\n", 3, [(0, 1)]),
    ("leading plus", "x\n0 0 0\ny\n0 1\n+1 2\n", 3, PATH_3),
    ("leading plus on both", "x\n0 0 0\ny\n+0 +1\n+1 +2\n", 3, PATH_3),
    ("leading zeros", "x\n0 0 0\ny\n00 0001\n1 000000000000000000000000002\n", 3, PATH_3),
    ("self-loop lines ignored", "x\n0 0 0\ny\n0 1\n2 2\n1 2\n7 7\n"
     "18446744073709551615 18446744073709551615\n", 3, PATH_3),
    ("repeated edges", "x\n0 0 0\ny\n0 1\n0 1\n1 2\n0 1\n1 2\n", 3, PATH_3),
    ("edge order", "x\n0 0 0\ny\n1 2\n0 1\n", 3, PATH_3),
    ("reciprocal pair", "x\n0 0 0\ny\n0 1\n1 0\n1 2\n", 3, [(0, 1), (1, 0), (1, 2)]),
    ("four vertices", "x\n0 0 0 0\ny\n0 1\n1 2\n", 4, PATH_3),
    ("unicode text lines", "donn\u00e9es \u2713\n0 0 0\n\u2026\n0 1\n1 2\n", 3, PATH_3),
    ("byte order mark", "\ufeffdim 0\n0 0 0\ndim 1\n0 1\n1 2\n", 3, PATH_3),
    ("triangle", "dim 0\n0 0 0\ndim 1\n0 1\n0 2\n1 2\n", 3, [(0, 1), (0, 2), (1, 2)]),
]


@pytest.mark.parametrize("content, n, edges", [c[1:] for c in SAME_GRAPH],
                         ids=[c[0] for c in SAME_GRAPH])
def test_file_and_matrix_agree(content, n, edges, tmp_path):
    assert file_results(write(tmp_path, content)) == matrix_results(n, edges)


def test_random_graph_file_and_matrix_agree(tmp_path):
    rng = np.random.default_rng(2024)
    n = 40
    m = (rng.random((n, n)) < 0.2).astype(np.uint64)
    np.fill_diagonal(m, 0)
    edges = [(int(r), int(c)) for r, c in zip(*np.nonzero(m))]
    rng.shuffle(edges)
    lines = ["dim 0", " ".join("0" for _ in range(n)), "dim 1"]
    lines += [f"{r} {c}" for r, c in edges]
    path = write(tmp_path, "\n".join(lines) + "\n")
    for name, fname in zip(MATRIX_FUNCS, FILE_FUNCS):
        for args in [(0, 0, 1, 3), (1, 1, 2, 3), (0, 0, 0, 2)]:
            expected = getattr(tolva, name)(m, *args)
            assert expected
            assert getattr(tolva, fname)(path, *args) == expected


@pytest.mark.parametrize("fname", FILE_FUNCS)
def test_relative_path_and_no_extension(fname, tmp_path, monkeypatch):
    write(tmp_path, "x\n0 0 0\ny\n0 1\n1 2\n", name="graph")
    monkeypatch.chdir(tmp_path)
    expected = getattr(tolva, fname)(str(tmp_path / "graph"), 0, 0, 1, 2)
    assert getattr(tolva, fname)("graph", 0, 0, 1, 2) == expected
    assert getattr(tolva, fname)("./graph", 0, 0, 1, 2) == expected


FAILURES = [
    ("tab then space and number", "0\t1 2", INVALID_DIGIT),
    ("leading minus", "-1 2", INVALID_DIGIT),
    ("minus on second", "1 -2", INVALID_DIGIT),
    ("minus zero", "-0 1", INVALID_DIGIT),
    ("plus alone", "+ 2", INVALID_DIGIT),
    ("plus alone second", "1 +", INVALID_DIGIT),
    ("double plus", "++1 2", INVALID_DIGIT),
    ("word then number", "abc 1", INVALID_DIGIT),
    ("number then word", "1 abc", INVALID_DIGIT),
    ("hex", "0x1 2", INVALID_DIGIT),
    ("decimal point", "1.0 2", INVALID_DIGIT),
    ("exponent", "1e0 2", INVALID_DIGIT),
    ("trailing letter", "1 2x", INVALID_DIGIT),
    ("non-ascii digit", "\u0661 2", INVALID_DIGIT),
    ("two carriage returns", "1 2\r\r", INVALID_DIGIT),
    ("to out of range", "0 7", "from out of bounds: 7 >= 3"),
    ("from out of range", "7 0", "to out of bounds: 7 >= 3"),
    ("both out of range", "7 9", "from out of bounds: 9 >= 3"),
    ("to equals n", "0 3", "from out of bounds: 3 >= 3"),
    ("from equals n", "3 0", "to out of bounds: 3 >= 3"),
    ("overflow first", "18446744073709551616 0", POS_OVERFLOW),
    ("overflow second", "0 18446744073709551616", POS_OVERFLOW),
    ("far overflow", "99999999999999999999999999 0", POS_OVERFLOW),
    ("max u64 as to", "0 18446744073709551615", "from out of bounds: 18446744073709551615 >= 3"),
    ("max u64 as from", "18446744073709551615 0", "to out of bounds: 18446744073709551615 >= 3"),
    ("bad first beats overflow", "abc 18446744073709551616", INVALID_DIGIT),
    ("overflow first beats bad", "18446744073709551616 abc", POS_OVERFLOW),
    ("bad first beats range", "x 9", INVALID_DIGIT),
    ("range then bad", "0 9\nabc 1", "from out of bounds: 9 >= 3"),
    ("bad then range", "abc 1\n0 9", INVALID_DIGIT),
    ("later line fails", "0 1\n1 2\n\n2 0\nfoo 1", INVALID_DIGIT),
]


@pytest.mark.parametrize("fname", FILE_FUNCS)
@pytest.mark.parametrize("edge_lines, message", [f[1:] for f in FAILURES],
                         ids=[f[0] for f in FAILURES])
def test_edge_line_failures(fname, edge_lines, message, tmp_path, capfd):
    path = write(tmp_path, "x\n0 0 0\ny\n" + edge_lines + "\n")
    assert panic_message(getattr(tolva, fname), path, 0, 0, 1, 2) == message
    # A failed call writes no report line.
    assert "edges().len()" not in capfd.readouterr().err


@pytest.mark.parametrize("fname", FILE_FUNCS)
@pytest.mark.parametrize("content", ["", "x", "x\n", "\n", "x\r\n", "0 0 0 0"],
                         ids=["empty", "one line", "one line, final newline",
                              "one empty line", "one line crlf", "one line of tokens"])
def test_fewer_than_two_lines(fname, content, tmp_path):
    path = write(tmp_path, content)
    assert panic_message(getattr(tolva, fname), path, 0, 0, 1, 2) == "File Parsing failed"


@pytest.mark.parametrize(
    "content",
    ["x\n0 0 0", "x\n0 0 0\n", "x\n0 0 0\ny", "x\n0 0 0\ny\n\n   \n1\n2 2\n", "\n\n",
     "x\n\n", "x\n   \ny\n5 5\n", "x\n\t\ny\n"],
    ids=["two lines", "two lines, final newline", "no edge lines", "no usable edge lines",
         "two empty lines", "no vertices", "spaces only", "single tab token"],
)
@pytest.mark.parametrize("q, max_dimension", [(0, 2), (0, 0), (1, 3)])
def test_graph_without_edges_gives_empty_result(content, q, max_dimension, tmp_path, capfd):
    path = write(tmp_path, content)
    capfd.readouterr()
    assert tolva.compute_q_near_graph_new_from_file(path, q, 0, 1, max_dimension) == []
    assert capfd.readouterr().err == REPORT_NEW.format(0)
    assert tolva.compute_q_near_graph_old_from_file(path, q, 0, 1, max_dimension) == []
    assert capfd.readouterr().err == REPORT_OLD.format(0)


@pytest.mark.parametrize("fname", FILE_FUNCS)
def test_no_vertices_then_edge_fails(fname, tmp_path):
    path = write(tmp_path, "x\n\ny\n0 1\n")
    assert panic_message(getattr(tolva, fname), path, 0, 0, 1, 2) == "from out of bounds: 1 >= 0"
    path = write(tmp_path, "x\n\ny\n3 3\n4 0\n")
    assert panic_message(getattr(tolva, fname), path, 0, 0, 1, 2) == "from out of bounds: 0 >= 0"


def test_report_line_of_a_file_call(tmp_path, capfd):
    path = write(tmp_path, "dim 0\n0 0 0\ndim 1\n0 1\n0 2\n1 2\n")
    capfd.readouterr()
    assert len(tolva.compute_q_near_graph_new_from_file(path, 0, 0, 1, 2)) == 14
    assert capfd.readouterr().err == REPORT_NEW.format(14)
    assert len(tolva.compute_q_near_graph_old_from_file(path, 0, 0, 1, 2)) == 14
    assert capfd.readouterr().err == REPORT_OLD.format(14)


# ------------------------------------------------------- operating system


@pytest.mark.parametrize("fname", FILE_FUNCS)
def test_missing_file(fname, tmp_path):
    message = panic_message(getattr(tolva, fname), str(tmp_path / "absent.flag"), 0, 0, 1, 2)
    assert message.startswith(NOT_FOUND_PREFIX)
    assert "NotFound" in message
    assert os.strerror(errno.ENOENT) in message
    assert str(errno.ENOENT) in message[len(NOT_FOUND_PREFIX):]


@pytest.mark.parametrize("fname", FILE_FUNCS)
def test_missing_directory_component(fname, tmp_path):
    message = panic_message(getattr(tolva, fname), str(tmp_path / "no" / "such.flag"), 0, 0, 1, 2)
    assert message.startswith(NOT_FOUND_PREFIX)
    assert "NotFound" in message


@pytest.mark.parametrize("fname", FILE_FUNCS)
def test_directory_cannot_be_read(fname, tmp_path):
    message = panic_message(getattr(tolva, fname), str(tmp_path), 0, 0, 1, 2)
    assert message.startswith(PARSING_PREFIX)
    assert os.strerror(errno.EISDIR) in message
    assert str(errno.EISDIR) in message


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not apply to root")
@pytest.mark.parametrize("fname", FILE_FUNCS)
def test_unreadable_file(fname, tmp_path):
    path = write(tmp_path, "x\n0 0\ny\n0 1\n")
    os.chmod(path, 0)
    message = panic_message(getattr(tolva, fname), path, 0, 0, 1, 2)
    assert message.startswith(NOT_FOUND_PREFIX)
    assert os.strerror(errno.EACCES) in message


@pytest.mark.parametrize("fname", FILE_FUNCS)
@pytest.mark.parametrize(
    "content",
    [b"\xff\xfe x\n0 0 0\ny\n0 1\n", b"x\n0 0 0\ny\n0 1 \xe9t\xe9\n", b"x\n0 0 0\ny\n0 1\n\xed\xa0\x80\n",
     b"x\n0 0\xc0\x80 0\n"],
    ids=["first line", "ignored token", "encoded surrogate", "overlong nul"],
)
def test_invalid_utf8(fname, content, tmp_path):
    message = panic_message(getattr(tolva, fname), write(tmp_path, content), 0, 0, 1, 2)
    assert message.startswith(PARSING_PREFIX)
    assert "stream did not contain valid UTF-8" in message


NOT_UTF8 = PARSING_PREFIX + 'Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'


@pytest.mark.parametrize("fname", FILE_FUNCS)
@pytest.mark.parametrize("tail, message", [(b"", INVALID_DIGIT), (b"0 1 \xff\n", NOT_UTF8)],
                         ids=["valid rest", "invalid utf-8 at the end"])
def test_early_bad_line_of_a_large_file(fname, tail, message, tmp_path, capfd):
    # Megabytes of edges after the bad line: the file is read in pieces, and a line that does
    # not parse must still yield to text that is not UTF-8 further on, with one report only.
    content = b"x\n0 0 0\ny\n0 1\nabc 1\n" + b"0 1\n1 2\n" * 500_000 + tail
    capfd.readouterr()
    assert panic_message(getattr(tolva, fname), write(tmp_path, content), 0, 0, 1, 2) == message
    reports = [line for line in capfd.readouterr().err.splitlines() if "panicked at" in line]
    assert len(reports) == 1 and f"panicked at '{message}'" in reports[0]


@pytest.mark.parametrize("fname", FILE_FUNCS)
@pytest.mark.parametrize("name", ["a\0b.flag", "g.flag\0", "\0"])
def test_nul_in_path(fname, name, tmp_path):
    write(tmp_path, "x\n0 0 0\ny\n0 1\n", name="a")
    path = str(tmp_path) + "/" + name
    message = panic_message(getattr(tolva, fname), path, 0, 0, 1, 2)
    assert message.startswith(NOT_FOUND_PREFIX)
    assert "file name contained an unexpected NUL byte" in message


@pytest.mark.parametrize("fname", FILE_FUNCS)
def test_huge_vertex_count_costs_only_its_edges(fname, tmp_path):
    # 10**7 vertices (an n x n bit matrix would need about 12 TB) and one triangle among the
    # last three: from q = 1 on, the complex and the result are those of the small triangle.
    last = 10**7 - 1
    path = tmp_path / "huge.flag"
    with open(path, "w") as f:
        f.write("x\n" + "0 " * 10**7 + f"\ny\n{last - 2} {last - 1}\n{last - 1} {last}\n{last - 2} {last}\n")
    triangle = adjacency(3, [(0, 1), (1, 2), (0, 2)])
    matrix_function = getattr(tolva, fname.replace("_from_file", ""))
    for args in [(1, 0, 1, 2), (1, 2, 1, 3), (1, 0, 0, 5)]:
        assert getattr(tolva, fname)(str(path), *args) == matrix_function(triangle, *args)
    # The interpreter and the module carry on normally.
    small = write(tmp_path, "x\n0 0 0\ny\n0 1\n1 2\n")
    assert file_results(small) == matrix_results(3, PATH_3)


# ------------------------------------------------------ real test graphs


def _load_expected():
    if not (DATA / "expected.json").is_file():
        return {}
    with open(DATA / "expected.json") as f:
        expected = json.load(f)
    return {name: info for name, info in expected.items() if (DATA / f"{name}.flag").is_file()}


EXPECTED = _load_expected()


def read_edges(path):
    with open(path) as f:
        lines = f.read().split("\n")
    n = len(lines[1].split())
    edges = []
    for line in lines[3:]:
        tokens = line.split()
        if len(tokens) >= 2 and tokens[0] != tokens[1]:
            edges.append((int(tokens[0]), int(tokens[1])))
    return n, edges


def top_dimension(counts, budget=600):
    """Highest dimension such that the simplices up to it stay within budget."""
    total, top = 0, 0
    for d, c in enumerate(counts):
        total += c
        if total > budget:
            break
        top = d
    return top


@pytest.mark.skipif(not EXPECTED, reason="test graphs not available")
@pytest.mark.parametrize("graph", sorted(EXPECTED) or ["none"])
def test_real_graph_counts(graph):
    info = EXPECTED[graph]
    counts = info["cell_counts_by_dim"]
    path = str(DATA / f"{graph}.flag")
    n, edges = read_edges(path)
    assert (n, len(set(edges))) == (info["vertices"], info["edges"])

    top = top_dimension(counts)
    m = adjacency(n, edges)
    for q in range(top + 1):
        n_q = counts[q]
        total = sum(counts[q: top + 1])
        # Face pairs whose face is a q-simplex: one per q-face of every
        # simplex of dimension q+1 .. top; nothing else starts below n_q.
        low_pairs = sum(counts[d] * math.comb(d + 1, q + 1) for d in range(q + 1, top + 1))

        new = tolva.compute_q_near_graph_new_from_file(path, q, 0, 0, top)
        assert new == tolva.compute_q_near_graph_new(m, q, 0, 0, top)
        old = tolva.compute_q_near_graph_old_from_file(path, q, 0, 1, top)
        assert old == tolva.compute_q_near_graph_old(m, q, 0, 1, top)
        if q == top:
            assert new == [] and old == []
            continue
        for result in (new, old):
            assert len({tuple(p) for p in result}) == len(result)
            low = [p for p in result if p[0] < n_q]
            assert len(low) == low_pairs
            assert all(n_q <= t < total for _, t in low)
            assert max(max(p) for p in result) == total - 1
        # i = j: every (q+1)-simplex is paired with itself, nothing else is.
        selves = [s for s, t in new if s == t]
        assert sorted(selves) == list(range(n_q, n_q + counts[q + 1]))
        assert all(s != t for s, t in old)
