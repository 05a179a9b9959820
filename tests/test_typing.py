"""The installed type stubs of both modules: mypy --strict accepts correct calls and flags wrong
ones."""
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

HEADER = textwrap.dedent(
    """
    from __future__ import annotations
    import numpy as np
    import tolva
    a = np.zeros((3, 3), dtype=np.uint64)
    """
)

CORRECT = HEADER + textwrap.dedent(
    """
    pairs: list[list[int]] = tolva.compute_q_near_graph_old(a, 0, 0, 1, 2)
    pairs = tolva.compute_q_near_graph_new(a=a, q=0, i=0, j=1, max_dimension=2)
    pairs = tolva.compute_q_near_graph_old_from_file("g.flag", 0, 0, 1, 2)
    pairs = tolva.compute_q_near_graph_new_from_file(input_file="g.flag", q=0, i=0, j=1, max_dimension=2)
    first: int = pairs[0][0]
    names: list[str] = tolva.__all__
    """
)


def run_mypy(code, tmp_path):
    source = tmp_path / "use_tolva.py"
    source.write_text(code)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), str(source)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)


def test_correct_calls_pass_strict_checking(tmp_path):
    result = run_mypy(CORRECT, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


# Each wrong line with the complaint mypy must make about that line.
WRONG_CALLS = [
    ("tolva.compute_q_near_graph_old_from_file(a, 0, 0, 1, 2)", 'expected "str"'),
    ("tolva.compute_q_near_graph_new_from_file(pathlib.Path('g'), 0, 0, 1, 2)",
     'incompatible type "Path"; expected "str"'),
    ("tolva.compute_q_near_graph_new('g.flag', 0, 0, 1, 2)", 'incompatible type "str"; expected "ndarray'),
    ("tolva.compute_q_near_graph_new(a, 0, 0, 1)", 'Missing positional argument "max_dimension"'),
    ("tolva.compute_q_near_graph_new(a, 0, 0, 1, max_dim=2)", 'Unexpected keyword argument "max_dim"'),
    ("tolva.compute_q_near_graph_new(a, 0.5, 0, 1, 2)", 'incompatible type "float"; expected "int"'),
    ("names: list[str] = tolva.compute_q_near_graph_old(a, 0, 0, 1, 2)[0]", "Incompatible types in assignment"),
    ("tolva.compute_q_near_graph_newer(a, 0, 0, 1, 2)", 'has no attribute "compute_q_near_graph_newer"'),
]


def assert_each_flagged(header, wrong_calls, tmp_path):
    """Each wrong call, one per line after `header`, gets its own complaint from mypy."""
    first_line = header.count("\n") + 1
    code = header + "".join(wrong + "\n" for wrong, _ in wrong_calls)
    result = run_mypy(code, tmp_path)
    assert result.returncode == 1, result.stdout + result.stderr
    for line, (wrong, complaint) in enumerate(wrong_calls, start=first_line):
        reported = [row for row in result.stdout.splitlines() if row.startswith(f"use_tolva.py:{line}: error:")]
        assert any(complaint in row for row in reported), (wrong, result.stdout)


def test_wrong_calls_are_flagged(tmp_path):
    assert_each_flagged(HEADER + "import pathlib\n", WRONG_CALLS, tmp_path)


ARRAYS_HEADER = textwrap.dedent(
    """
    from __future__ import annotations
    import pathlib
    import numpy as np
    import numpy.typing as npt
    from typing import Any
    from tolva_arrays import DirectedFlagComplex
    a = np.zeros((3, 3), dtype=np.float64)
    edges = np.array([[0, 1]], dtype=np.int64)
    class Sparse:  # what is read of a SciPy sparse matrix (whose own stubs are optional)
        shape = (3, 3)
        def tocsr(self, copy: bool = False) -> Any: return self
    """
)

ARRAYS_CORRECT = ARRAYS_HEADER + textwrap.dedent(
    """
    def show(stage: str, done: int, total: int) -> None: ...
    complex_ = DirectedFlagComplex(a, 0, 2)
    complex_ = DirectedFlagComplex("g.flag", q=1, max_dimension=None, progress=show)
    complex_ = DirectedFlagComplex(pathlib.Path("g.flag"), 1)
    complex_ = DirectedFlagComplex((3, edges), 0)
    complex_ = DirectedFlagComplex(Sparse(), 0)
    pairs: npt.NDArray[np.uint32] = complex_.q_near_graph("old", 0, 1, progress=show)
    rows: npt.NDArray[np.uint32] = complex_.simplices(2)
    counts: npt.NDArray[np.int64] = complex_.counts
    first: int = complex_.first_position(1) + complex_.vertex_count + complex_.q
    bound: int | None = complex_.max_dimension
    names: list[str] = __import__("tolva_arrays").__all__
    """
)

ARRAYS_WRONG_CALLS = [
    ("DirectedFlagComplex(a)", 'Missing positional argument "q"'),
    ("DirectedFlagComplex(a, 0, 2, show)", "Too many positional arguments"),
    ("DirectedFlagComplex(3.5, 0)", 'incompatible type "float"'),
    ("DirectedFlagComplex(a, 0).q_near_graph('old', 0)", 'Missing positional argument "j"'),
    ("DirectedFlagComplex(a, 0).simplices('2')", 'incompatible type "str"; expected "int"'),
    ("DirectedFlagComplex(a, 0).counts = a", "read-only"),
    ("bad: list[int] = DirectedFlagComplex(a, 0).q_near_graph('old', 0, 1)", "Incompatible types in assignment"),
]


def test_tolva_arrays_correct_calls_pass_strict_checking(tmp_path):
    result = run_mypy(ARRAYS_CORRECT, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_tolva_arrays_wrong_calls_are_flagged(tmp_path):
    header = ARRAYS_HEADER + "def show(stage: str, done: int, total: int) -> None: ...\n"
    assert_each_flagged(header, ARRAYS_WRONG_CALLS, tmp_path)
