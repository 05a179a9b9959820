"""The worked example shared by the interface tests: the transitive triangle 0->1, 0->2,
1->2 with q = 0, i = 0, j = 1, max_dimension = 2. Positions 0..2 are the vertices, 3..5 the
edges (0,1), (0,2), (1,2), 6 the triangle."""
import numpy as np

MATRIX_FUNCS = ["compute_q_near_graph_old", "compute_q_near_graph_new"]
FILE_FUNCS = ["compute_q_near_graph_old_from_file", "compute_q_near_graph_new_from_file"]
ALL_FUNCS = MATRIX_FUNCS + FILE_FUNCS

TRIANGLE = np.array([[0, 1, 1], [0, 0, 1], [0, 0, 0]], dtype=np.uint64)
TRIANGLE_FLAG = "dim 0\n0 0 0\ndim 1\n0 1\n0 2\n1 2\n"
NEW_TRIANGLE = [[3, 5], [3, 6], [6, 5], [0, 6], [1, 6], [2, 6], [4, 6], [5, 6],
                [0, 3], [1, 3], [0, 4], [2, 4], [1, 5], [2, 5]]
OLD_TRIANGLE = [[3, 5], [6, 5], [4, 6], [5, 6], [0, 6], [1, 6], [2, 6], [3, 6],
                [0, 3], [1, 3], [0, 4], [2, 4], [1, 5], [2, 5]]
