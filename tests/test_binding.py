"""Argument binding, the argument error rule and the panic exception."""

import operator

import numpy as np
import pytest

import tolva
from worked_example import ALL_FUNCS, FILE_FUNCS, MATRIX_FUNCS, NEW_TRIANGLE, OLD_TRIANGLE, TRIANGLE, TRIANGLE_FLAG


EXPECTED = {
    "compute_q_near_graph_old": OLD_TRIANGLE,
    "compute_q_near_graph_new": NEW_TRIANGLE,
    "compute_q_near_graph_old_from_file": OLD_TRIANGLE,
    "compute_q_near_graph_new_from_file": NEW_TRIANGLE,
}

DIAGONAL = np.zeros((3, 3), dtype=np.uint64)
DIAGONAL[1, 1] = 1
DIAGONAL_MESSAGE = "assertion failed: `(left != right)`\n  left: `1`,\n right: `1`"


def params(name):
    first = "input_file" if name.endswith("_from_file") else "a"
    return [first, "q", "i", "j", "max_dimension"]


@pytest.fixture
def flag_path(tmp_path):
    path = tmp_path / "triangle.flag"
    path.write_text(TRIANGLE_FLAG)
    return str(path)


@pytest.fixture
def args_for(flag_path):
    """Valid positional arguments (the triangle, q=0, i=0, j=1, max_dimension=2)."""

    def make(name):
        first = flag_path if name.endswith("_from_file") else TRIANGLE
        return [first, 0, 0, 1, 2]

    return make


def raises_exactly(exc_type, func, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    return info.value


def index_error_text(obj):
    try:
        operator.index(obj)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{obj!r} has an integer meaning")


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize("name", ALL_FUNCS)
@pytest.mark.parametrize("count", [6, 7, 10])
def test_too_many_positional(name, count, args_for):
    args = args_for(name) + [0] * (count - 5)
    exc = raises_exactly(TypeError, getattr(tolva, name), *args)
    assert str(exc) == f"{name}() takes 5 positional arguments but {count} were given"


@pytest.mark.parametrize("name", ALL_FUNCS)
def test_too_many_positional_reported_before_keyword_problems(name, args_for):
    args = args_for(name) + [0]
    exc = raises_exactly(TypeError, getattr(tolva, name), *args, k=1, q=0)
    assert str(exc) == f"{name}() takes 5 positional arguments but 6 were given"


@pytest.mark.parametrize("name", ALL_FUNCS)
@pytest.mark.parametrize("position", range(5))
def test_multiple_values(name, position, args_for):
    param = params(name)[position]
    args = args_for(name)
    exc = raises_exactly(TypeError, getattr(tolva, name), *args[: position + 1],
                         **{param: args[position]})
    assert str(exc) == f"{name}() got multiple values for argument '{param}'"


@pytest.mark.parametrize("name", ALL_FUNCS)
@pytest.mark.parametrize("key", ["k", "A", "Q", "maxdimension", "input_file_", "self"])
def test_unexpected_keyword(name, key, args_for):
    exc = raises_exactly(TypeError, getattr(tolva, name), *args_for(name), **{key: 1})
    assert str(exc) == f"{name}() got an unexpected keyword argument '{key}'"


def test_wrong_first_parameter_name_is_unexpected(args_for):
    # The matrix functions have no 'input_file', the file functions no 'a'.
    exc = raises_exactly(TypeError, tolva.compute_q_near_graph_new,
                         input_file=TRIANGLE, q=0, i=0, j=1, max_dimension=2)
    assert str(exc) == "compute_q_near_graph_new() got an unexpected keyword argument 'input_file'"
    exc = raises_exactly(TypeError, tolva.compute_q_near_graph_old_from_file,
                         a="x.flag", q=0, i=0, j=1, max_dimension=2)
    assert str(exc) == ("compute_q_near_graph_old_from_file() got an unexpected "
                        "keyword argument 'a'")


@pytest.mark.parametrize("name", ALL_FUNCS)
def test_first_keyword_problem_in_call_order_wins(name, args_for):
    func = getattr(tolva, name)
    args = args_for(name)
    exc = raises_exactly(TypeError, func, *args, k=1, q=0)
    assert str(exc) == f"{name}() got an unexpected keyword argument 'k'"
    exc = raises_exactly(TypeError, func, *args, q=0, k=1)
    assert str(exc) == f"{name}() got multiple values for argument 'q'"


@pytest.mark.parametrize("name", ALL_FUNCS)
def test_keyword_problem_reported_before_missing(name, args_for):
    exc = raises_exactly(TypeError, getattr(tolva, name), *args_for(name)[:2], k=1)
    assert str(exc) == f"{name}() got an unexpected keyword argument 'k'"


def missing_message(name, missing):
    quoted = [f"'{m}'" for m in missing]
    if len(quoted) == 1:
        return f"{name}() missing 1 required positional argument: {quoted[0]}"
    if len(quoted) == 2:
        names = f"{quoted[0]} and {quoted[1]}"
    else:
        names = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
    return f"{name}() missing {len(quoted)} required positional arguments: {names}"


@pytest.mark.parametrize("name", ALL_FUNCS)
@pytest.mark.parametrize("given", range(5))
def test_missing_positional(name, given, args_for):
    exc = raises_exactly(TypeError, getattr(tolva, name), *args_for(name)[:given])
    assert str(exc) == missing_message(name, params(name)[given:])


LITERAL_MISSING = [
    ("compute_q_near_graph_old", 4,
     "compute_q_near_graph_old() missing 1 required positional argument: 'max_dimension'"),
    ("compute_q_near_graph_new", 3,
     "compute_q_near_graph_new() missing 2 required positional arguments: 'j' and 'max_dimension'"),
    ("compute_q_near_graph_old_from_file", 2,
     "compute_q_near_graph_old_from_file() missing 3 required positional arguments: "
     "'i', 'j', and 'max_dimension'"),
    ("compute_q_near_graph_new_from_file", 0,
     "compute_q_near_graph_new_from_file() missing 5 required positional arguments: "
     "'input_file', 'q', 'i', 'j', and 'max_dimension'"),
]


@pytest.mark.parametrize("name, given, message", LITERAL_MISSING)
def test_missing_literal_messages(name, given, message, args_for):
    exc = raises_exactly(TypeError, getattr(tolva, name), *args_for(name)[:given])
    assert str(exc) == message


@pytest.mark.parametrize("name", ALL_FUNCS)
@pytest.mark.parametrize(
    "given, keywords",
    [
        (0, ["q", "i", "j", "max_dimension"]),
        (2, ["j"]),
        (1, ["max_dimension"]),
        (1, ["q", "i", "j"]),
        (0, ["max_dimension"]),
        (3, []),
    ],
)
def test_missing_with_some_keywords(name, given, keywords, args_for):
    args = args_for(name)
    names = params(name)
    kwargs = {k: args[names.index(k)] for k in keywords}
    missing = [n for n in names[given:] if n not in keywords]
    exc = raises_exactly(TypeError, getattr(tolva, name), *args[:given], **kwargs)
    assert str(exc) == missing_message(name, missing)


@pytest.mark.parametrize("name", ALL_FUNCS)
def test_binding_happens_before_conversion(name):
    # Nonsense values, but one argument short: the binding error wins.
    exc = raises_exactly(TypeError, getattr(tolva, name), [1], -1, 2.0, "x")
    assert str(exc) == missing_message(name, ["max_dimension"])


@pytest.mark.parametrize("name", ALL_FUNCS)
@pytest.mark.parametrize(
    "order",
    [
        (0, 1, 2, 3, 4),
        (4, 3, 2, 1, 0),
        (2, 0, 4, 1, 3),
        (1, 3, 0, 4, 2),
    ],
)
def test_keywords_in_any_order_equal_positional(name, order, args_for):
    func = getattr(tolva, name)
    args = args_for(name)
    names = params(name)
    kwargs = {names[k]: args[k] for k in order}
    assert list(kwargs) == [names[k] for k in order]
    result = func(**kwargs)
    assert result == func(*args)
    assert result == EXPECTED[name]


@pytest.mark.parametrize("name", ALL_FUNCS)
@pytest.mark.parametrize("split", [1, 2, 3, 4])
def test_mixed_positional_and_keyword(name, split, args_for):
    func = getattr(tolva, name)
    args = args_for(name)
    kwargs = dict(reversed(list(zip(params(name)[split:], args[split:]))))
    assert func(*args[:split], **kwargs) == EXPECTED[name]


@pytest.mark.parametrize("name", ALL_FUNCS)
def test_empty_keyword_dict_is_like_none(name, args_for):
    assert getattr(tolva, name)(*args_for(name), **{}) == EXPECTED[name]


# ----------------------------------------------------------- error rule


@pytest.mark.parametrize("name", ALL_FUNCS)
@pytest.mark.parametrize("position", [1, 2, 3, 4])
@pytest.mark.parametrize("bad", [2.0, 0.0, 2.5, np.float64(2.0), "3", None, 1j, [1]], ids=repr)
def test_type_error_gets_argument_prefix(name, position, bad, args_for):
    param = params(name)[position]
    args = args_for(name)
    args[position] = bad
    exc = raises_exactly(TypeError, getattr(tolva, name), *args)
    assert str(exc) == f"argument '{param}': " + index_error_text(bad)
    assert exc.__cause__ is None


@pytest.mark.parametrize("name", ALL_FUNCS)
@pytest.mark.parametrize("position", [1, 2, 3, 4])
@pytest.mark.parametrize("bad", [-1, np.int64(-1), -(2**64), -(2**70), 2**64, 2**64 + 5, 2**100], ids=repr)
def test_overflow_error_has_no_prefix(name, position, bad, args_for):
    args = args_for(name)
    args[position] = bad
    exc = raises_exactly(OverflowError, getattr(tolva, name), *args)
    assert not str(exc).startswith("argument")
    assert str(exc)


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("name", ALL_FUNCS)
@pytest.mark.parametrize(
    "exc",
    [MyTypeError("subclass"), ValueError("value"), KeyError("key"), ZeroDivisionError("zero")],
    ids=lambda e: type(e).__name__,
)
def test_non_exact_type_errors_pass_unchanged(name, exc, args_for):
    args = args_for(name)
    args[2] = IndexRaises(exc)
    got = raises_exactly(type(exc), getattr(tolva, name), *args)
    assert got is exc
    assert str(got) == str(exc)


@pytest.mark.parametrize("name", ALL_FUNCS)
def test_exact_type_error_from_index_is_prefixed(name, args_for):
    args = args_for(name)
    args[3] = IndexRaises(TypeError("custom text"))
    exc = raises_exactly(TypeError, getattr(tolva, name), *args)
    assert str(exc) == "argument 'j': custom text"


@pytest.mark.parametrize("name", ALL_FUNCS)
def test_prefixed_error_keeps_inner_cause(name, args_for):
    root = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = root
    args = args_for(name)
    args[4] = IndexRaises(inner)
    exc = raises_exactly(TypeError, getattr(tolva, name), *args)
    assert str(exc) == "argument 'max_dimension': inner"
    assert exc is not inner
    assert exc.__cause__ is root


class Spy:
    def __init__(self, log, label, value):
        self.log, self.label, self.value = log, label, value

    def __index__(self):
        self.log.append(self.label)
        return self.value


@pytest.mark.parametrize("name", ALL_FUNCS)
def test_conversion_stops_at_first_failure(name, args_for):
    log = []
    func = getattr(tolva, name)
    args = args_for(name)
    args[1] = Spy(log, "q", 0)
    args[2] = Spy(log, "i", -1)
    args[3] = Spy(log, "j", 1)
    args[4] = Spy(log, "max_dimension", 2)
    raises_exactly(OverflowError, func, *args)
    assert log == ["q", "i"]


@pytest.mark.parametrize("name", ALL_FUNCS)
def test_conversion_order_is_parameter_order(name, args_for):
    log = []
    func = getattr(tolva, name)
    args = args_for(name)
    names = params(name)
    spies = {n: Spy(log, n, args[k]) for k, n in enumerate(names) if k}
    # Keyword order does not change the conversion order.
    kwargs = {n: spies[n] for n in reversed(names[1:])}
    assert func(args[0], **kwargs) == EXPECTED[name]
    assert log == names[1:]


@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_wrong_a_reported_before_wrong_q(name):
    log = []
    exc = raises_exactly(TypeError, getattr(tolva, name), [[0]], 2.0, Spy(log, "i", 0), 0, 0)
    assert str(exc) == "argument 'a': 'list' object cannot be converted to 'PyArray<T, D>'"
    exc = raises_exactly(TypeError, getattr(tolva, name),
                         np.zeros(3, dtype=np.uint64), -1, 0, 0, 0)
    assert str(exc) == "argument 'a': dimensionality mismatch:\n from=1, to=2"
    assert log == []


@pytest.mark.parametrize("name", FILE_FUNCS)
def test_wrong_input_file_reported_before_wrong_q(name):
    exc = raises_exactly(TypeError, getattr(tolva, name), b"x.flag", -1, 2.0, 0, 0)
    assert str(exc) == "argument 'input_file': 'bytes' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("name", ALL_FUNCS)
@pytest.mark.parametrize(
    "bad, expected",
    [
        ((2.0, -1, 0, 0), ("q", TypeError)),
        ((0, -1, 2.0, 0), ("i", OverflowError)),
        ((0, 0, 2**64, "x"), ("j", OverflowError)),
        ((0, 0, 0, None), ("max_dimension", TypeError)),
    ],
)
def test_first_failing_integer_wins(name, bad, expected, args_for):
    args = args_for(name)[:1] + list(bad)
    param, exc_type = expected
    exc = raises_exactly(exc_type, getattr(tolva, name), *args)
    assert str(exc).startswith(f"argument '{param}': ") == (exc_type is TypeError)


@pytest.mark.parametrize("name", FILE_FUNCS)
def test_file_not_opened_before_all_arguments_convert(name, tmp_path):
    missing = str(tmp_path / "absent.flag")
    raises_exactly(OverflowError, getattr(tolva, name), missing, 0, 0, 0, -1)
    exc = raises_exactly(TypeError, getattr(tolva, name), missing, 0, 0, 0, 1.5)
    assert str(exc).startswith("argument 'max_dimension': ")


# -------------------------------------------------------- panic exception


def catch_panic(func, *args):
    try:
        func(*args)
    except Exception as exc:  # a panic must not be an Exception
        raise AssertionError(f"caught as Exception: {exc!r}")
    except BaseException as exc:
        return exc
    raise AssertionError("no exception raised")


@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_panic_exception_properties(name):
    exc = catch_panic(getattr(tolva, name), DIAGONAL, 0, 0, 1, 2)
    cls = type(exc)
    assert cls.__name__ == "PanicException"
    assert cls.__qualname__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__bases__ == (BaseException,)
    assert issubclass(cls, BaseException)
    assert not issubclass(cls, Exception)
    assert str(exc) == DIAGONAL_MESSAGE
    assert exc.args == (DIAGONAL_MESSAGE,)
    assert isinstance(cls.__doc__, str)
    assert "BaseException" in cls.__doc__
    assert not hasattr(tolva, "PanicException")


def test_panic_type_is_one_object_for_all_panics(tmp_path):
    bad_file = str(tmp_path / "missing.flag")
    kinds = {
        type(catch_panic(tolva.compute_q_near_graph_new, DIAGONAL, 0, 0, 1, 2)),
        type(catch_panic(tolva.compute_q_near_graph_old, DIAGONAL, 0, 0, 1, 2)),
        type(catch_panic(tolva.compute_q_near_graph_new_from_file, bad_file, 0, 0, 1, 2)),
        type(catch_panic(tolva.compute_q_near_graph_old_from_file, bad_file, 0, 0, 1, 2)),
    }
    assert len(kinds) == 1


def test_panic_can_be_caught_by_its_type():
    cls = type(catch_panic(tolva.compute_q_near_graph_new, DIAGONAL, 0, 0, 1, 2))
    with pytest.raises(cls) as info:
        tolva.compute_q_near_graph_old(np.zeros((2, 3), dtype=np.uint64), 0, 0, 1, 2)
    assert str(info.value) == "assertion failed: `(left == right)`\n  left: `2`,\n right: `3`"


@pytest.mark.parametrize("name", ALL_FUNCS)
def test_valid_call_after_panic(name, args_for, tmp_path):
    func = getattr(tolva, name)
    if name.endswith("_from_file"):
        bad = str(tmp_path / "missing.flag")
    else:
        bad = DIAGONAL
    for _ in range(3):
        catch_panic(func, bad, 0, 0, 1, 2)
        assert func(*args_for(name)) == EXPECTED[name]
