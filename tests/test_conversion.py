"""Conversion of the arguments: the adjacency matrix, the path and the integers."""

import json
import pathlib
import textwrap

import numpy as np
import pytest

import tolva
from worked_example import FILE_FUNCS, MATRIX_FUNCS, NEW_TRIANGLE, OLD_TRIANGLE, TRIANGLE, TRIANGLE_FLAG


EXPECTED = {"compute_q_near_graph_old": OLD_TRIANGLE, "compute_q_near_graph_new": NEW_TRIANGLE}

# A small graph with triangles, a 3-simplex, a reciprocal pair and a vertex
# of high index, used to compare differently laid-out arrays.
EDGES = [(0, 1), (0, 2), (1, 2), (2, 3), (1, 3), (0, 3), (3, 4), (4, 0),
         (4, 5), (5, 4), (0, 5), (2, 5), (6, 2)]
N = 7


def adjacency(n, edges, dtype=np.uint64):
    m = np.zeros((n, n), dtype=dtype)
    for r, c in edges:
        m[r, c] = 1
    return m


GRAPH = adjacency(N, EDGES)
CALLS = [(0, 0, 1, 3), (0, 1, 1, 2), (1, 0, 2, 3), (0, 1, 0, 4), (2, 3, 1, 4)]

TO_ARRAY = "cannot be converted to 'PyArray<T, D>'"
TO_STRING = "cannot be converted to 'PyString'"


def raises_exactly(exc_type, func, *args):
    with pytest.raises(BaseException) as info:
        func(*args)
    assert type(info.value) is exc_type, repr(info.value)
    return info.value


def panic(func, *args):
    with pytest.raises(BaseException) as info:
        func(*args)
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    return str(info.value)


def results(array):
    """Results of both algorithms for several argument sets."""
    return [
        getattr(tolva, name)(array, *args) for name in MATRIX_FUNCS for args in CALLS
    ]


BASELINE = None


def baseline():
    global BASELINE
    if BASELINE is None:
        BASELINE = results(GRAPH)
        # The reference graph is rich enough for the comparisons to mean something.
        assert all(BASELINE)
    return BASELINE


# ---------------------------------------------------------------- the matrix


class Holder:
    class Inner:
        pass


class FailingQualnameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError("no qualified name")
        return super().__getattribute__(name)


class NonTextQualnameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


class FailingQualname(metaclass=FailingQualnameMeta):
    pass


class NonTextQualname(metaclass=NonTextQualnameMeta):
    pass


@pytest.mark.parametrize("name", MATRIX_FUNCS)
@pytest.mark.parametrize(
    "obj, type_name",
    [
        ([0, 1], "list"),
        ([[0, 1], [0, 0]], "list"),
        (((0, 1), (0, 0)), "tuple"),
        (TRIANGLE.tolist(), "list"),
        (0, "int"),
        (None, "NoneType"),
        ("a.flag", "str"),
        (np.uint64(1), "uint64"),
        (memoryview(TRIANGLE), "memoryview"),
        (Holder.Inner(), "Holder.Inner"),
        (FailingQualname(), "<failed to extract type name>"),
        (NonTextQualname(), "<failed to extract type name>"),
    ],
)
def test_non_array_is_rejected(name, obj, type_name):
    exc = raises_exactly(TypeError, getattr(tolva, name), obj, 0, 0, 1, 2)
    assert str(exc) == f"argument 'a': '{type_name}' object {TO_ARRAY}"


@pytest.mark.parametrize("name", MATRIX_FUNCS)
@pytest.mark.parametrize(
    "array, ndim",
    [
        (np.zeros(3, dtype=np.uint64), 1),
        (np.zeros(0, dtype=np.uint64), 1),
        (np.zeros((2, 2, 2), dtype=np.uint64), 3),
        (np.zeros((1, 1, 1, 1), dtype=np.uint64), 4),
        (np.array(0, dtype=np.uint64), 0),
        # The dimension is checked before the element type.
        (np.zeros(3, dtype=np.int64), 1),
        (np.zeros((2, 2, 2), dtype=np.float64), 3),
    ],
)
def test_dimensionality_mismatch(name, array, ndim):
    exc = raises_exactly(TypeError, getattr(tolva, name), array, 0, 0, 1, 2)
    assert str(exc) == f"argument 'a': dimensionality mismatch:\n from={ndim}, to=2"


@pytest.mark.parametrize("name", MATRIX_FUNCS)
@pytest.mark.parametrize(
    "dtype",
    [np.int64, np.bool_, np.float64, ">u8", np.uint32, np.int8, np.uint16, object,
     np.float32, np.complex128, "<i8", "m8[s]"],
    ids=str,
)
def test_type_mismatch(name, dtype):
    array = TRIANGLE.astype(dtype)
    exc = raises_exactly(TypeError, getattr(tolva, name), array, 0, 0, 1, 2)
    assert str(exc) == f"argument 'a': type mismatch:\n from={array.dtype}, to=uint64"


def test_type_mismatch_renders_byte_swapped_dtype():
    array = TRIANGLE.astype(">u8")
    exc = raises_exactly(TypeError, tolva.compute_q_near_graph_new, array, 0, 0, 1, 2)
    assert str(exc) == "argument 'a': type mismatch:\n from=>u8, to=uint64"
    exc = raises_exactly(TypeError, tolva.compute_q_near_graph_new,
                         TRIANGLE.astype(np.int64), 0, 0, 1, 2)
    assert str(exc) == "argument 'a': type mismatch:\n from=int64, to=uint64"


@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_type_is_checked_on_empty_arrays_too(name):
    exc = raises_exactly(TypeError, getattr(tolva, name),
                         np.zeros((0, 0), dtype=np.int64), 0, 0, 1, 2)
    assert str(exc) == "argument 'a': type mismatch:\n from=int64, to=uint64"


@pytest.mark.parametrize("name", MATRIX_FUNCS)
@pytest.mark.parametrize("dtype", [np.ulonglong, "<u8", "=u8", "Q", "L"], ids=str)
def test_equivalent_unsigned_64_bit_types_accepted(name, dtype):
    array = TRIANGLE.astype(dtype)
    assert getattr(tolva, name)(array, 0, 0, 1, 2) == EXPECTED[name]


@pytest.mark.parametrize("name", MATRIX_FUNCS)
@pytest.mark.parametrize("q, max_dimension", [(0, 2), (0, 0), (1, 5), (3, 1)])
def test_empty_matrix_accepted(name, q, max_dimension):
    empty = np.zeros((0, 0), dtype=np.uint64)
    assert getattr(tolva, name)(empty, q, 0, 1, max_dimension) == []


@pytest.mark.parametrize("name", MATRIX_FUNCS)
@pytest.mark.parametrize("shape", [(3, 4), (4, 3), (0, 2), (2, 0), (1, 5)])
def test_non_square_panics(name, shape):
    message = panic(getattr(tolva, name), np.zeros(shape, dtype=np.uint64), 0, 0, 1, 2)
    assert message == (
        f"assertion failed: `(left == right)`\n  left: `{shape[0]}`,\n right: `{shape[1]}`"
    )


@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_non_square_view_panics(name):
    message = panic(getattr(tolva, name), GRAPH[:, :5], 0, 0, 1, 2)
    assert message == "assertion failed: `(left == right)`\n  left: `7`,\n right: `5`"


def diagonal_message(r):
    return f"assertion failed: `(left != right)`\n  left: `{r}`,\n right: `{r}`"


@pytest.mark.parametrize("name", MATRIX_FUNCS)
@pytest.mark.parametrize(
    "n, ones, expected",
    [
        (3, [(2, 2)], 2),
        (1, [(0, 0)], 0),
        (5, [(3, 3), (2, 2)], 2),
        (5, [(4, 4), (0, 1), (1, 2), (3, 3)], 3),
        (70, [(65, 65), (66, 66), (0, 69)], 65),
    ],
)
def test_diagonal_one_panics_at_first_in_scan_order(name, n, ones, expected):
    assert panic(getattr(tolva, name), adjacency(n, ones), 0, 0, 1, 2) == diagonal_message(expected)


@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_diagonal_one_in_a_view(name):
    m = GRAPH.copy()
    m[4, 4] = 1
    assert panic(getattr(tolva, name), m.T, 0, 0, 1, 2) == diagonal_message(4)
    assert panic(getattr(tolva, name), m[::-1, ::-1], 0, 0, 1, 2) == diagonal_message(2)


@pytest.mark.parametrize("value", [2, 3, 255, 2**32, 2**32 + 1, 2**63, 2**63 + 1, 2**64 - 1])
def test_entries_other_than_one_add_no_edge(value):
    m = GRAPH.copy()
    m[m == 0] = value  # every non-edge entry, the diagonal included
    assert results(m) == baseline()


@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_diagonal_two_accepted(name):
    m = TRIANGLE.copy()
    m[2, 2] = 2
    assert getattr(tolva, name)(m, 0, 0, 1, 2) == EXPECTED[name]


def test_read_only_array_accepted():
    m = GRAPH.copy()
    m.flags.writeable = False
    assert results(m) == baseline()
    assert not m.flags.writeable
    np.testing.assert_array_equal(m, GRAPH)


def test_masked_array_mask_ignored():
    masked = np.ma.array(GRAPH.copy(), mask=(GRAPH == 1))
    assert results(masked) == baseline()
    fully = np.ma.array(GRAPH.copy(), mask=True)
    assert results(fully) == baseline()


def test_array_subclass_accepted():
    class Sub(np.ndarray):
        pass

    assert results(GRAPH.view(Sub)) == baseline()


def test_fortran_order_equals_c_order():
    f = np.asfortranarray(GRAPH)
    assert f.flags.f_contiguous and not f.flags.c_contiguous
    assert results(f) == baseline()


def test_transposed_view_reverses_edges():
    reversed_graph = adjacency(N, [(c, r) for r, c in EDGES])
    expected = results(reversed_graph)
    assert expected != baseline()
    assert results(GRAPH.T) == expected
    assert results(np.ascontiguousarray(GRAPH.T)) == expected


@pytest.mark.parametrize(
    "view",
    [
        lambda m: m[::-1, ::-1],
        lambda m: m.T[::-1, ::-1],
        lambda m: np.asfortranarray(m)[::-1, ::-1],
        lambda m: m[::-1, ::-1].T,
    ],
)
def test_negative_step_views_read_like_copies(view):
    v = view(GRAPH)
    assert v.strides[0] < 0 or v.strides[1] < 0
    assert results(v) == results(np.ascontiguousarray(v))


def test_negative_step_view_relabels_vertices():
    # Reversing both axes maps vertex v to N-1-v.
    relabelled = adjacency(N, [(N - 1 - r, N - 1 - c) for r, c in EDGES])
    assert results(GRAPH[::-1, ::-1]) == results(relabelled)


@pytest.mark.parametrize(
    "rows, cols",
    [
        (slice(None, None, 2), slice(None, None, 3)),
        (slice(1, None, 2), slice(0, None, 3)),
        (slice(None, None, -3), slice(None, None, 2)),
        (slice(2, 16), slice(3, 17)),
    ],
)
def test_step_slices_read_like_copies(rows, cols):
    rng = np.random.default_rng(7)
    big = (rng.random((21, 28)) < 0.35).astype(np.uint64)
    view = big[rows, cols]
    n = min(view.shape)
    view = view[:n, :n]
    for k in range(n):
        view[k, k] = 0
    copy = view.copy()
    assert results(view) == results(copy)
    assert results(copy) != results(np.zeros_like(copy))


def test_packed_structured_field_view():
    packed = np.dtype([("v", "<u8"), ("pad", "<u4")])
    assert packed.itemsize == 12
    records = np.zeros((N, N), dtype=packed)
    records["v"] = GRAPH
    records["pad"] = 0xFFFFFFFF  # noise between the elements
    view = records["v"]
    assert view.dtype == np.uint64
    assert view.strides == (12 * N, 12)
    assert results(view) == results(view.copy()) == baseline()
    # A transposed field view: strides (12, 12 * N).
    assert results(view.T) == results(view.T.copy())


def test_matrix_unchanged_by_call():
    m = GRAPH.copy()
    results(m)
    np.testing.assert_array_equal(m, GRAPH)
    assert m.flags.writeable


# ------------------------------------------------------------ NumPy access


def test_matrix_call_under_warnings_as_errors(run_python):
    code = textwrap.dedent(
        """
        import warnings
        warnings.simplefilter("error")
        import json, sys
        import numpy as np
        import tolva
        m = np.array([[0, 1, 1], [0, 0, 1], [0, 0, 0]], dtype=np.uint64)
        print("NEW", json.dumps(tolva.compute_q_near_graph_new(m, 0, 0, 1, 2)))
        print("OLD", json.dumps(tolva.compute_q_near_graph_old(m, 0, 0, 1, 2)))
        print("LEGACY", "numpy.core.multiarray" in sys.modules)
        print("MAJOR", np.__version__.split(".")[0])
        """
    )
    proc = run_python(code, args=("-W", "error"))
    assert proc.returncode == 0, proc.stderr
    out = dict(line.split(" ", 1) for line in proc.stdout.splitlines())
    assert json.loads(out["NEW"]) == NEW_TRIANGLE
    assert json.loads(out["OLD"]) == OLD_TRIANGLE
    if int(out["MAJOR"]) >= 2:
        assert out["LEGACY"] == "False"


def test_missing_capsule_panics_and_is_retried(run_python):
    code = textwrap.dedent(
        """
        import json
        import numpy as np
        try:
            import numpy._core.multiarray as multiarray
        except ImportError:
            import numpy.core.multiarray as multiarray
        import tolva
        saved = multiarray._ARRAY_API
        del multiarray._ARRAY_API
        m = np.array([[0, 1, 1], [0, 0, 1], [0, 0, 0]], dtype=np.uint64)
        try:
            tolva.compute_q_near_graph_new(m, 0, 0, 1, 2)
        except BaseException as exc:
            print("PANIC", json.dumps([type(exc).__name__, str(exc)]))
        multiarray._ARRAY_API = saved
        print("NEW", json.dumps(tolva.compute_q_near_graph_new(m, 0, 0, 1, 2)))
        """
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    out = dict(line.split(" ", 1) for line in proc.stdout.splitlines())
    kind, message = json.loads(out["PANIC"])
    assert kind == "PanicException"
    assert message.startswith("Failed to access NumPy array API capsule: ")
    assert json.loads(out["NEW"]) == NEW_TRIANGLE


# ---------------------------------------------------------------- integers


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class MyInt(int):
    pass


EQUIVALENTS = {
    1: [False, np.uint8(0), np.int64(0), np.uint64(0), Index(0), MyInt(0)],   # q = 0
    2: [False, np.int32(0), np.uint64(0), Index(0), MyInt(0)],                # i = 0
    3: [True, np.int16(1), np.uint64(1), np.int8(1), Index(1), MyInt(1)],     # j = 1
    4: [np.int32(2), np.uint64(2), Index(2), MyInt(2), 2**64 - 1, 2**63],     # max_dimension
}


@pytest.mark.parametrize("name", MATRIX_FUNCS)
@pytest.mark.parametrize(
    "position, value",
    [(p, v) for p, values in EQUIVALENTS.items() for v in values],
    ids=lambda x: repr(x) if not isinstance(x, Index) else "Index",
)
def test_integer_like_values_accepted(name, position, value):
    args = [TRIANGLE, 0, 0, 1, 2]
    args[position] = value
    assert getattr(tolva, name)(*args) == EXPECTED[name]


@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_true_is_one(name):
    func = getattr(tolva, name)
    expected = func(GRAPH, 1, 0, 2, 3)
    assert expected
    assert func(GRAPH, True, 0, 2, 3) == expected
    assert func(GRAPH, 1, 0, True, 3) == func(GRAPH, 1, 0, 1, 3)


@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_full_range_reaches_the_computation(name):
    func = getattr(tolva, name)
    top = 2**64 - 1
    # No simplex has dimension 2**64 - 1: the q-near graph is empty.
    assert func(TRIANGLE, top, 0, 1, top) == []
    # The largest face position is carried through unchanged.
    message = panic(func, TRIANGLE, 0, top, 0, 2)
    assert message == f"removal index (is {top}) should be < len (is 2)"
    message = panic(func, TRIANGLE, 0, 0, top, 2)
    assert message == f"removal index (is {top}) should be < len (is 2)"


# -------------------------------------------------------------------- paths


@pytest.fixture
def flag_path(tmp_path):
    path = tmp_path / "triangle.flag"
    path.write_text(TRIANGLE_FLAG)
    return path


FILE_EXPECTED = {
    "compute_q_near_graph_old_from_file": OLD_TRIANGLE,
    "compute_q_near_graph_new_from_file": NEW_TRIANGLE,
}


@pytest.mark.parametrize("name", FILE_FUNCS)
def test_path_object_rejected(name, flag_path):
    func = getattr(tolva, name)
    exc = raises_exactly(TypeError, func, flag_path, 0, 0, 1, 2)
    assert str(exc) == f"argument 'input_file': 'PosixPath' object {TO_STRING}"
    assert func(str(flag_path), 0, 0, 1, 2) == FILE_EXPECTED[name]


@pytest.mark.parametrize("name", FILE_FUNCS)
@pytest.mark.parametrize(
    "make, type_name",
    [
        (lambda p: str(p).encode(), "bytes"),
        (lambda p: bytearray(str(p).encode()), "bytearray"),
        (lambda p: pathlib.PurePosixPath(p), "PurePosixPath"),
        (lambda p: None, "NoneType"),
        (lambda p: 0, "int"),
        (lambda p: [str(p)], "list"),
        (lambda p: TRIANGLE, "ndarray"),
        (lambda p: Holder.Inner(), "Holder.Inner"),
        (lambda p: FailingQualname(), "<failed to extract type name>"),
    ],
)
def test_non_str_path_rejected(name, make, type_name, flag_path):
    exc = raises_exactly(TypeError, getattr(tolva, name), make(flag_path), 0, 0, 1, 2)
    assert str(exc) == f"argument 'input_file': '{type_name}' object {TO_STRING}"


class MyStr(str):
    pass


@pytest.mark.parametrize("name", FILE_FUNCS)
@pytest.mark.parametrize("make", [MyStr, np.str_], ids=["MyStr", "numpy.str_"])
def test_str_subclass_accepted(name, make, flag_path):
    assert getattr(tolva, name)(make(str(flag_path)), 0, 0, 1, 2) == FILE_EXPECTED[name]


@pytest.mark.parametrize("name", FILE_FUNCS)
def test_non_ascii_path(name, tmp_path):
    path = tmp_path / "tri\u00e4ngel \u4e09\u89d2.flag"
    path.write_text(TRIANGLE_FLAG)
    assert getattr(tolva, name)(str(path), 0, 0, 1, 2) == FILE_EXPECTED[name]


@pytest.mark.parametrize("name", FILE_FUNCS)
@pytest.mark.parametrize("q", [0, -1, 2.0])
def test_lone_surrogate_is_unicode_encode_error(name, q, tmp_path):
    path = str(tmp_path / "\udc80.flag")
    exc = raises_exactly(UnicodeEncodeError, getattr(tolva, name), path, q, 0, 1, 2)
    assert not str(exc).startswith("argument")
    assert exc.encoding == "utf-8"


@pytest.mark.parametrize("name", FILE_FUNCS)
def test_path_is_not_tilde_expanded(name, tmp_path, monkeypatch):
    (tmp_path / "~").mkdir()
    (tmp_path / "~" / "t.flag").write_text(TRIANGLE_FLAG)
    monkeypatch.chdir(tmp_path)
    assert getattr(tolva, name)("~/t.flag", 0, 0, 1, 2) == FILE_EXPECTED[name]
