"""q-analysis of the C. elegans chemical synapse network.

For q = 0 .. 6 it computes the q-near graph (new algorithm, i = 0, j = 1, simplices of
dimension q and q + 1), maps positions back to vertex sequences and cell names, finds the
q-connected components with scipy.sparse.csgraph, prints their number and sizes, and plots
them against q into celegans_q_analysis.png in the working directory.

    pip install '.[examples]' && python examples/celegans_q_analysis.py
"""
import pathlib
import sys

import matplotlib

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.pyplot as plt
import numpy as np
from scipy.sparse import coo_matrix
from scipy.sparse.csgraph import connected_components

import tolva

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
NETWORK = DATA / "celegans_herm_chemical.flag"
NAMES = DATA / "celegans_herm_vertices.txt"
QS = range(0, 7)


def read_edges(path):
    """The edges of a .flag file: 'from to' lines from line 4 on."""
    lines = path.read_text().splitlines()
    vertex_count = len(lines[1].split())
    edges = [tuple(map(int, line.split()[:2])) for line in lines[3:] if len(line.split()) >= 2]
    return vertex_count, edges


def directed_simplices(vertex_count, edges, dimension):
    """Every directed clique with dimension + 1 vertices, in lexicographic order: the order in
    which tolva numbers the simplices of one dimension."""
    out = [set() for _ in range(vertex_count)]
    for source, target in edges:
        if source != target:
            out[source].add(target)
    found = []

    def extend(simplex, candidates):
        if len(simplex) == dimension + 1:
            found.append(tuple(simplex))
            return
        for vertex in sorted(candidates):
            extend(simplex + [vertex], candidates & out[vertex])

    for root in range(vertex_count):
        extend([root], out[root])
    return found


def q_components(vertex_count, edges, q):
    """The q-near graph of dimensions q .. q + 1 and its weakly connected components."""
    pairs = tolva.compute_q_near_graph_new_from_file(str(NETWORK), q, 0, 1, q + 1)
    # Positions number the q-simplices first, then the (q + 1)-simplices, each lexicographically.
    simplices = directed_simplices(vertex_count, edges, q) + directed_simplices(vertex_count, edges, q + 1)
    if not pairs:
        return pairs, simplices, np.arange(len(simplices))
    source, target = np.array(pairs, dtype=np.int64).T
    adjacency = coo_matrix((np.ones(len(pairs)), (source, target)), shape=(len(simplices),) * 2)
    _, labels = connected_components(adjacency, directed=True, connection="weak")
    return pairs, simplices, labels


def main():
    names = dict(line.split() for line in NAMES.read_text().splitlines())
    vertex_count, edges = read_edges(NETWORK)
    counts, largest = [], []
    for q in QS:
        pairs, simplices, labels = q_components(vertex_count, edges, q)
        sizes = np.sort(np.bincount(labels))[::-1]
        counts.append(len(sizes))
        largest.append(int(sizes[0]) if len(sizes) else 0)
        print(f"q={q}: {len(simplices)} simplices, {len(pairs)} pairs, {len(sizes)} q-connected components, "
              f"largest sizes {sizes[:5].tolist()}")
        if pairs:
            s, t = pairs[0]
            cells = lambda position: "->".join(names[str(v)] for v in simplices[position])
            print(f"   first pair [{s}, {t}]: {cells(s)} with {cells(t)}")
    figure, axes = plt.subplots(1, 2, figsize=(9, 3.5))
    axes[0].plot(list(QS), counts, marker="o")
    axes[0].set(xlabel="q", ylabel="q-connected components", title="Components")
    axes[1].plot(list(QS), largest, marker="o", color="tab:red")
    axes[1].set(xlabel="q", ylabel="simplices", title="Largest component", yscale="log")
    figure.suptitle("C. elegans chemical network: q-near graphs (new algorithm, i=0, j=1)")
    figure.tight_layout()
    figure.savefig("celegans_q_analysis.png", dpi=100)
    print("wrote celegans_q_analysis.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
