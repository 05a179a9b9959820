"""q-analysis of the C. elegans chemical synapse network.

For q = 0 .. 6 it builds the directed flag complex of dimensions q and q + 1 once
(tolva_arrays), takes its q-near graph (new algorithm, i = 0, j = 1) as an array of position
pairs, maps positions back to vertex sequences and cell names with simplices(), finds the
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

from tolva_arrays import DirectedFlagComplex

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
NETWORK = DATA / "celegans_herm_chemical.flag"
NAMES = DATA / "celegans_herm_vertices.txt"
QS = range(0, 7)


def q_components(q):
    """The complex of dimensions q .. q + 1, its q-near graph and the graph's weakly connected
    components (one label per position)."""
    complex_ = DirectedFlagComplex(NETWORK, q, q + 1)
    pairs = complex_.q_near_graph("new", 0, 1)  # (m, 2) uint32: [s, t] rows
    positions = complex_.first_position(q + 2)  # every simplex of dimensions q and q + 1
    adjacency = coo_matrix((np.ones(len(pairs)), (pairs[:, 0], pairs[:, 1])), shape=(positions, positions))
    _, labels = connected_components(adjacency, directed=True, connection="weak")
    return complex_, pairs, labels


def vertex_sequence(complex_, position):
    """The vertices of the simplex at a position: row position - first_position(d) of
    simplices(d), for the dimension d whose positions hold it."""
    dimension = complex_.q
    while position >= complex_.first_position(dimension + 1):
        dimension += 1
    return complex_.simplices(dimension)[position - complex_.first_position(dimension)]


def main():
    names = dict(line.split() for line in NAMES.read_text().splitlines())
    counts, largest = [], []
    for q in QS:
        complex_, pairs, labels = q_components(q)
        sizes = np.sort(np.bincount(labels))[::-1]
        counts.append(len(sizes))
        largest.append(int(sizes[0]) if len(sizes) else 0)
        print(f"q={q}: {len(labels)} simplices, {len(pairs)} pairs, {len(sizes)} q-connected components, "
              f"largest sizes {sizes[:5].tolist()}")
        if len(pairs):
            s, t = pairs[0].tolist()
            cells = lambda position: "->".join(names[str(v)] for v in vertex_sequence(complex_, position))
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
