"""tolva_arrays beside the list functions: the same requests, each measured in a fresh
interpreter, the two modules interleaved round by round so that a slow spell of the machine
falls on both.

    python bench/arrays.py [--repeats N] [--workers 2] [--column PATH] [--peer]

Cases (medians of the repeats, seconds; peak = the process's peak resident set):
- chem_gap q = 5 (max_dimension 6), old and new, i = 0, j = 1: the list function's whole
  call against DirectedFlagComplex(...) and one q_near_graph(...), each stage timed, and a
  second q_near_graph(...) on the same complex (the face walk made by the first is kept);
- a sweep of all 16 (i, j) at q = 2 (max_dimension 3) on chem_gap, on one complex, against
  one whole list call;
- with --column PATH: the column graph at q = 2 (old, i = 0, j = 1, max_dimension 6), through
  tolva_arrays only (the list would not fit), and with --peer pyflagsercount's count of the
  same graph at the same thread count. Runs above 3 GiB: hold the machine's big-memory lock.

Prints a Markdown table; writes nothing else.
"""
import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import textwrap

ROOT = pathlib.Path(__file__).resolve().parent.parent
CHEM_GAP = ROOT / "data" / "celegans_herm_chem_gap.flag"

PRELUDE = """
import json, resource, sys, time
def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
"""

LIST_CALL = PRELUDE + """
import tolva
start = time.perf_counter()
pairs = getattr(tolva, "compute_q_near_graph_" + KIND + "_from_file")(PATH, Q, I, J, MAX_DIM)
print(json.dumps({"whole": time.perf_counter() - start, "pairs": len(pairs), "peak": peak_mib()}))
"""

ARRAYS_CALL = PRELUDE + """
import tolva_arrays
start = time.perf_counter()
complex_ = tolva_arrays.DirectedFlagComplex(PATH, Q, MAX_DIM)
built = time.perf_counter()
pairs = complex_.q_near_graph(KIND, I, J)
done = time.perf_counter()
del pairs
again = complex_.q_near_graph(KIND, I, J)  # the face walk made by the first request is kept
print(json.dumps({"complex": built - start, "q_near_graph": done - built, "whole": done - start,
                  "later": time.perf_counter() - done, "pairs": len(again), "peak": peak_mib(),
                  "counts": complex_.counts.tolist()}))
"""

SWEEP = PRELUDE + """
import tolva_arrays
start = time.perf_counter()
complex_ = tolva_arrays.DirectedFlagComplex(PATH, Q, MAX_DIM)
pairs = sum(len(complex_.q_near_graph(KIND, i, j)) for i in range(Q + 2) for j in range(Q + 2))
print(json.dumps({"whole": time.perf_counter() - start, "pairs": pairs, "peak": peak_mib()}))
"""

# The peer takes a matrix: the file is read first, outside the time (as in bench/run.py).
PEER_COUNT = PRELUDE + """
import numpy as np, scipy.sparse as sparse
import pyflagsercount
with open(PATH) as f:
    lines = f.read().split("\\n")
n = len(lines[1].split())
pairs = np.array([l.split()[:2] for l in lines[3:] if l.strip()], dtype=np.int64).reshape(-1, 2)
pairs = pairs[pairs[:, 0] != pairs[:, 1]]
matrix = sparse.csr_matrix((np.ones(len(pairs), dtype=bool), (pairs[:, 0], pairs[:, 1])), shape=(n, n))
del lines, pairs
start = time.perf_counter()
counts = pyflagsercount.flagser_count(matrix, threads=THREADS)
print(json.dumps({"whole": time.perf_counter() - start, "peak": peak_mib(),
                  "counts": [int(c) for c in counts["cell_counts"]]}))
"""


def run(script, workers, **names):
    code = "".join(f"{name} = {value!r}\n" for name, value in names.items()) + textwrap.dedent(script)
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def medians(results):
    return {key: statistics.median(r[key] for r in results) for key in results[0] if isinstance(results[0][key], float)} | \
           {key: results[0][key] for key in results[0] if not isinstance(results[0][key], float)}


def chem_gap_rows(repeats, workers):
    rows = []
    for kind in ("old", "new"):
        request = dict(PATH=str(CHEM_GAP), KIND=kind, Q=5, I=0, J=1, MAX_DIM=6)
        listed, arrays = [], []
        for _ in range(repeats):
            listed.append(run(LIST_CALL, workers, **request))
            arrays.append(run(ARRAYS_CALL, workers, **request))
        listed, arrays = medians(listed), medians(arrays)
        assert listed["pairs"] == arrays["pairs"]
        rows.append((f"chem_gap q=5 {kind}", listed, arrays))
    return rows


def sweep_row(repeats, workers):
    request = dict(PATH=str(CHEM_GAP), KIND="old", Q=2, I=0, J=1, MAX_DIM=3)
    listed, swept = [], []
    for _ in range(repeats):
        listed.append(run(LIST_CALL, workers, **request))
        swept.append(run(SWEEP, workers, **request))
    return medians(listed), medians(swept)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--column", help="a .flag file of the column graph")
    parser.add_argument("--peer", action="store_true", help="also count the column with pyflagsercount")
    parser.add_argument("--column-only", action="store_true", help="only the column rows")
    args = parser.parse_args()
    w = args.workers
    print(f"workers: {w}, repeats: {args.repeats} (medians), each run a fresh interpreter\n")
    if not args.column_only:
        print_chem_gap(args.repeats, w)
    if args.column:
        print_column(args.column, w, args.peer)


def print_chem_gap(repeats, w):
    print("| request | list call (s) | complex (s) | q_near_graph (s) | q_near_graph / list | "
          "complex + q_near_graph / list | later q_near_graph / list | pairs | peak list (MiB) | "
          "peak arrays (MiB) |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for name, listed, arrays in chem_gap_rows(repeats, w):
        print(f"| {name} | {listed['whole']:.2f} | {arrays['complex']:.2f} | {arrays['q_near_graph']:.2f} | "
              f"{arrays['q_near_graph'] / listed['whole']:.3f} | {arrays['whole'] / listed['whole']:.3f} | "
              f"{arrays['later'] / listed['whole']:.3f} | "
              f"{arrays['pairs']:,} | {listed['peak']:,.0f} | {arrays['peak']:,.0f} |")
    listed, swept = sweep_row(repeats, w)
    print(f"\nSweep of all 16 (i, j), old, chem_gap q=2 max_dimension 3, one complex: {swept['whole']:.2f} s "
          f"({swept['pairs']:,} pairs, peak {swept['peak']:,.0f} MiB) = {swept['whole'] / listed['whole']:.2f} x "
          f"one list call ({listed['whole']:.2f} s, {listed['pairs']:,} pairs)")


def print_column(path, w, with_peer):
    column = run(ARRAYS_CALL, w, PATH=path, KIND="old", Q=2, I=0, J=1, MAX_DIM=6)
    print(f"\nColumn q=2 old i=0 j=1 max_dimension 6: complex {column['complex']:.1f} s, q_near_graph "
          f"{column['q_near_graph']:.1f} s (again: {column['later']:.1f} s), {column['pairs']:,} pairs, "
          f"peak {column['peak'] / 1024:.2f} GiB, "
          f"counts {column['counts']}")
    if with_peer:
        peer = run(PEER_COUNT, w, PATH=path, THREADS=w)
        print(f"pyflagsercount count of the same graph, {w} threads: {peer['whole']:.1f} s, "
              f"peak {peer['peak'] / 1024:.2f} GiB, counts {peer['counts']}; tolva_arrays / peer = "
              f"{column['whole'] / peer['whole']:.2f}")

if __name__ == "__main__":
    main()
