"""The module object, its four functions and the form of their results."""

import inspect
import textwrap

import numpy as np
import pytest

import tolva
from worked_example import NEW_TRIANGLE, OLD_TRIANGLE, TRIANGLE, TRIANGLE_FLAG

NAMES = [
    "compute_q_near_graph_old",
    "compute_q_near_graph_new",
    "compute_q_near_graph_old_from_file",
    "compute_q_near_graph_new_from_file",
]

SIGNATURES = {
    "compute_q_near_graph_old": "(a, q, i, j, max_dimension)",
    "compute_q_near_graph_new": "(a, q, i, j, max_dimension)",
    "compute_q_near_graph_old_from_file": "(input_file, q, i, j, max_dimension)",
    "compute_q_near_graph_new_from_file": "(input_file, q, i, j, max_dimension)",
}


def test_all_lists_the_four_functions_in_table_order():
    assert type(tolva.__all__) is list
    assert tolva.__all__ == NAMES


def test_module_docstring_is_empty_string():
    assert tolva.__doc__ == ""


def test_module_has_nothing_else_of_its_own():
    own = {name for name in dir(tolva) if not (name.startswith("__") and name.endswith("__"))}
    assert own == set(NAMES)
    assert tolva.__name__ == "tolva"


@pytest.mark.parametrize("name", NAMES)
def test_function_attributes(name):
    func = getattr(tolva, name)
    assert func.__name__ == name
    assert func.__text_signature__ == SIGNATURES[name]
    assert func.__doc__ is None
    assert func.__module__ == "tolva"
    assert func.__self__ is tolva
    assert callable(func)


@pytest.mark.parametrize("name", NAMES)
def test_inspect_signature(name):
    sig = inspect.signature(getattr(tolva, name))
    assert str(sig) == SIGNATURES[name]
    params = list(sig.parameters.values())
    assert [p.name for p in params] == SIGNATURES[name][1:-1].split(", ")
    for p in params:
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty


@pytest.mark.parametrize(
    "name, expected",
    [
        ("compute_q_near_graph_new", NEW_TRIANGLE),
        ("compute_q_near_graph_old", OLD_TRIANGLE),
        ("compute_q_near_graph_new_from_file", NEW_TRIANGLE),
        ("compute_q_near_graph_old_from_file", OLD_TRIANGLE),
    ],
)
def test_result_is_list_of_two_int_lists(name, expected, tmp_path):
    if name.endswith("_from_file"):
        path = tmp_path / "triangle.flag"
        path.write_text(TRIANGLE_FLAG)
        first = str(path)
    else:
        first = TRIANGLE
    result = getattr(tolva, name)(first, 0, 0, 1, 2)
    assert type(result) is list
    for pair in result:
        assert type(pair) is list
        assert len(pair) == 2
        assert all(type(x) is int for x in pair)
    assert result == expected


@pytest.mark.parametrize("name", NAMES[:2])
def test_results_are_fresh_objects(name):
    func = getattr(tolva, name)
    first = func(TRIANGLE, 0, 0, 1, 2)
    second = func(TRIANGLE, 0, 0, 1, 2)
    assert first == second
    assert first is not second
    assert all(x is not y for x, y in zip(first, second))
    first[0].append(99)
    assert func(TRIANGLE, 0, 0, 1, 2) == second


def test_empty_graph_gives_empty_list():
    empty = np.zeros((0, 0), dtype=np.uint64)
    assert tolva.compute_q_near_graph_new(empty, 0, 0, 1, 2) == []
    assert tolva.compute_q_near_graph_old(empty, 0, 0, 1, 2) == []


def test_second_initialisation_raises_import_error(run_python):
    code = textwrap.dedent(
        """
        import sys
        import tolva
        first = tolva
        del sys.modules["tolva"]
        try:
            import tolva
        except ImportError as exc:
            print("TYPE", type(exc).__name__)
            print("MESSAGE", exc)
        else:
            print("NO ERROR")
        # The module created first stays usable.
        print("ALL", first.__all__)
        """
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert "TYPE ImportError" in lines
    message = [l for l in lines if l.startswith("MESSAGE ")]
    assert len(message) == 1
    assert "may only be initialized once per interpreter process" in message[0]
    assert "ALL " + repr(NAMES) in lines


def test_numpy_not_imported_by_import_nor_by_file_call(run_python, tmp_path):
    path = tmp_path / "triangle.flag"
    path.write_text(TRIANGLE_FLAG)
    code = textwrap.dedent(
        f"""
        import sys
        import tolva
        print("AFTER_IMPORT", "numpy" in sys.modules)
        result = tolva.compute_q_near_graph_new_from_file({str(path)!r}, 0, 0, 1, 2)
        result_old = tolva.compute_q_near_graph_old_from_file({str(path)!r}, 0, 0, 1, 2)
        print("AFTER_CALL", "numpy" in sys.modules)
        print("RESULT", result == {NEW_TRIANGLE!r}, result_old == {OLD_TRIANGLE!r})
        """
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert "AFTER_IMPORT False" in lines
    assert "AFTER_CALL False" in lines
    assert "RESULT True True" in lines
