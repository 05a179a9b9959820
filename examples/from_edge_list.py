"""Getting a graph into one of the two forms tolva accepts: a square NumPy uint64 matrix
(entry 1 at [r, c] is the edge r -> c) or a str path of a .flag file.

Shows an edge list, a SciPy sparse matrix, a boolean and an int matrix, a networkx DiGraph
and a pathlib.Path, and checks that every form gives the same q-near graph.

    pip install '.[examples]' && python examples/from_edge_list.py
"""
import pathlib
import sys
import tempfile

import networkx as nx
import numpy as np
import scipy.sparse

import tolva

# A small directed network: vertex numbers 0 .. n-1, one (source, target) pair per edge.
N = 6
EDGES = [(0, 1), (0, 2), (1, 2), (1, 3), (2, 3), (3, 4), (4, 5), (3, 5), (5, 0)]
ARGS = dict(q=0, i=0, j=1, max_dimension=2)


def matrix_from_edges(n, edges):
    """Edge list -> uint64 adjacency matrix (only entries equal to 1 are edges)."""
    a = np.zeros((n, n), dtype=np.uint64)
    for source, target in edges:
        a[source, target] = 1
    return a


def matrix_from_sparse(sparse):
    """SciPy sparse matrix (any format, any dtype) -> dense uint64 0/1 matrix. A dense matrix
    takes n * n * 8 bytes: for large sparse graphs write a .flag file instead."""
    return (sparse.toarray() != 0).astype(np.uint64)


def matrix_from_dense(dense):
    """Boolean or integer matrix -> uint64 0/1 matrix. A plain astype(np.uint64) keeps weights
    such as 2 or 3, which are not edges for tolva: compare with 0 first."""
    return (np.asarray(dense) != 0).astype(np.uint64)


def matrix_from_networkx(graph):
    """networkx DiGraph -> uint64 matrix; rows and columns follow the sorted node list."""
    nodes = sorted(graph.nodes)
    return (nx.to_numpy_array(graph, nodelist=nodes, weight=None) != 0).astype(np.uint64)


def write_flag_file(path, n, edges):
    """Edge list -> .flag file: line 2 holds one token per vertex, edges from line 4 on."""
    lines = ["dim 0", " ".join("0" for _ in range(n)), "dim 1"]
    lines += [f"{source} {target}" for source, target in edges]
    pathlib.Path(path).write_text("\n".join(lines) + "\n")


def main():
    expected = tolva.compute_q_near_graph_new(matrix_from_edges(N, EDGES), **ARGS)
    sparse = scipy.sparse.coo_matrix(([1] * len(EDGES), tuple(zip(*EDGES))), shape=(N, N)).tocsr()
    weighted = matrix_from_edges(N, EDGES).astype(np.int64) * 3  # weights, not 0/1
    digraph = nx.DiGraph(EDGES)
    forms = {
        "edge list": matrix_from_edges(N, EDGES),
        "scipy.sparse": matrix_from_sparse(sparse),
        "bool matrix": matrix_from_dense(matrix_from_edges(N, EDGES).astype(bool)),
        "int matrix": matrix_from_dense(weighted),
        "networkx DiGraph": matrix_from_networkx(digraph),
    }
    for name, a in forms.items():
        result = tolva.compute_q_near_graph_new(a, **ARGS)
        print(f"{name:17} -> {len(result)} pairs, same: {result == expected}")
        assert result == expected, name
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "network.flag"
        write_flag_file(path, N, EDGES)
        result = tolva.compute_q_near_graph_new_from_file(str(path), **ARGS)  # str(), not the Path
        print(f"{'.flag file':17} -> {len(result)} pairs, same: {result == expected}")
        assert result == expected
    print("all forms agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
