"""The matrix is read as it is when the scan starts: converting q, i, j and max_dimension runs
their __index__, which may resize, reshape or retype `a` and free the memory it had when it
was converted. Run under the sanitizer build too (docs/sanitizers.md): a stale layout is a
heap-use-after-free there and a crash or garbage here."""
import numpy as np
import pytest

import tolva
from worked_example import MATRIX_FUNCS


class Changes:
    """An integer whose conversion first changes the array."""

    def __init__(self, change, value):
        self.change, self.value = change, value

    def __index__(self):
        self.change()
        return self.value


def large_matrix():
    rng = np.random.default_rng(3)
    a = (rng.random((2000, 2000)) < 0.001).astype(np.uint64)
    np.fill_diagonal(a, 0)
    a[0, 1] = a[0, 2] = a[1, 2] = 1
    return a


def call(name, a, position, change):
    arguments = [0, 0, 1, 2]
    arguments[position] = Changes(change, arguments[position])
    return getattr(tolva, name)(a, *arguments)


def panic_message(func):
    with pytest.raises(BaseException) as caught:
        func()
    assert type(caught.value).__name__ == "PanicException"
    return str(caught.value)


@pytest.mark.parametrize("name", MATRIX_FUNCS)
@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize("shape", [(3, 3), (0, 0), (60, 60)])
def test_resized_array_is_read_as_resized(name, position, shape, capfd):
    a = large_matrix()
    result = call(name, a, position, lambda: a.resize(shape, refcheck=False))
    assert a.shape == shape
    assert result == getattr(tolva, name)(a.copy(), 0, 0, 1, 2)
    capfd.readouterr()


@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_grown_array_is_read_whole(name, capfd):
    a = np.zeros((3, 3), dtype=np.uint64)
    a[0, 1] = a[1, 2] = 1

    def grow():
        a.resize((400, 400), refcheck=False)
        a[399, 0] = a[0, 2] = 1

    assert call(name, a, 3, grow) == getattr(tolva, name)(a.copy(), 0, 0, 1, 2)
    capfd.readouterr()


@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_array_resized_to_non_square_panics_with_its_new_shape(name):
    a = large_matrix()
    message = panic_message(lambda: call(name, a, 1, lambda: a.resize((3, 4), refcheck=False)))
    assert message == "assertion failed: `(left == right)`\n  left: `3`,\n right: `4`"


@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_array_resized_to_one_dimension_is_rejected_for_a(name):
    a = large_matrix()
    with pytest.raises(TypeError) as caught:
        call(name, a, 2, lambda: a.resize((16,), refcheck=False))
    assert str(caught.value) == "argument 'a': dimensionality mismatch:\n from=1, to=2"


# Changing dtype or shape in place is what a hostile __index__ does; newer NumPy warns about it.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_array_retyped_in_place_is_rejected_for_a(name):
    a = large_matrix()

    def retype():
        a.dtype = np.int64

    with pytest.raises(TypeError) as caught:
        call(name, a, 0, retype)
    assert str(caught.value) == "argument 'a': type mismatch:\n from=int64, to=uint64"


# Changing dtype or shape in place is what a hostile __index__ does; newer NumPy warns about it.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("name", MATRIX_FUNCS)
def test_array_reshaped_in_place_is_read_with_its_new_shape(name):
    a = np.zeros((4, 4), dtype=np.uint64)

    def reshape():
        a.shape = (2, 8)

    message = panic_message(lambda: call(name, a, 3, reshape))
    assert message == "assertion failed: `(left == right)`\n  left: `2`,\n right: `8`"
