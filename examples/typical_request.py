"""The typical request: the q-near graph (new algorithm, q = 0, i = 0, j = 1, up to
dimension 2) of the transitive triangle 0->1, 0->2, 1->2, once from a NumPy adjacency
matrix and once from the bundled .flag file describing the same graph."""
import pathlib

import numpy as np

import tolva

a = np.zeros((3, 3), dtype=np.uint64)
a[0, 1] = a[0, 2] = a[1, 2] = 1

from_matrix = tolva.compute_q_near_graph_new(a, 0, 0, 1, 2)
print("from the matrix:   ", from_matrix)

flag_file = pathlib.Path(__file__).with_name("triangle.flag")
from_file = tolva.compute_q_near_graph_new_from_file(str(flag_file), q=0, i=0, j=1, max_dimension=2)
print("from triangle.flag:", from_file)

old = tolva.compute_q_near_graph_old(a, 0, 0, 1, 2)
print("old algorithm:     ", old)
assert from_matrix == from_file
