# Type information for the tolva extension module (a stub-only distribution, installed
# beside the module as tolva-stubs).

import numpy as np
import numpy.typing as npt

__all__ = [
    "compute_q_near_graph_old",
    "compute_q_near_graph_new",
    "compute_q_near_graph_old_from_file",
    "compute_q_near_graph_new_from_file",
]

def compute_q_near_graph_old(
    a: npt.NDArray[np.uint64], q: int, i: int, j: int, max_dimension: int
) -> list[list[int]]: ...
def compute_q_near_graph_new(
    a: npt.NDArray[np.uint64], q: int, i: int, j: int, max_dimension: int
) -> list[list[int]]: ...
def compute_q_near_graph_old_from_file(
    input_file: str, q: int, i: int, j: int, max_dimension: int
) -> list[list[int]]: ...
def compute_q_near_graph_new_from_file(
    input_file: str, q: int, i: int, j: int, max_dimension: int
) -> list[list[int]]: ...
