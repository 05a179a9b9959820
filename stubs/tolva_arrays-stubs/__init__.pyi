# Type information for the tolva_arrays extension module (a stub-only distribution,
# installed beside the module as tolva_arrays-stubs).

import os
from typing import Any, Callable, Optional, Protocol, Tuple, Union

import numpy as np
import numpy.typing as npt

__all__ = ["DirectedFlagComplex"]

# What is read of a SciPy sparse matrix or array (SciPy is optional).
class _SparseMatrix(Protocol):
    @property
    def shape(self) -> Tuple[int, ...]: ...
    def tocsr(self, copy: bool = ...) -> Any: ...

# A .flag path; a square NumPy array (nonzero entries are edges); a SciPy sparse matrix or
# array; or (vertex_count, edges) with edges an (m, 2) integer array.
Graph = Union[
    str,
    bytes,
    "os.PathLike[str]",
    "os.PathLike[bytes]",
    npt.NDArray[Union[np.integer[Any], np.bool_, np.floating[Any]]],
    Tuple[int, npt.ArrayLike],
    _SparseMatrix,
]
# Called with (stage, done, total); stage is "reading", "enumeration", "index" or "algorithm".
Progress = Optional[Callable[[str, int, int], object]]

class DirectedFlagComplex:
    def __init__(
        self, graph: Graph, q: int, max_dimension: Optional[int] = None, *, progress: Progress = None
    ) -> None: ...
    @property
    def vertex_count(self) -> int: ...
    @property
    def q(self) -> int: ...
    @property
    def max_dimension(self) -> Optional[int]: ...
    @property
    def counts(self) -> npt.NDArray[np.int64]: ...
    def first_position(self, dimension: int) -> int: ...
    def simplices(self, dimension: int) -> npt.NDArray[np.uint32]: ...
    def q_near_graph(self, algorithm: str, i: int, j: int, *, progress: Progress = None) -> npt.NDArray[np.uint32]: ...
