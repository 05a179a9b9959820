"""Feasibility figures for the README: whole calls (file to Python list) of a few typical
requests, each in a fresh interpreter, with wall time and peak memory of that process.

    python bench/feasibility.py [--workers N] [--large] [--out bench/results/feasibility.md]

--large adds a request of about 10^8 pairs (about 10 GB).
"""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "data"
SPARSE_TOOL = ROOT.parent / "shared" / "tools" / "sparse_connectome.py"

# (label, file, algorithm, q, max_dimension); i = 0, j = 1 throughout.
REQUESTS = [
    ("C. elegans chemical", DATA / "celegans_herm_chemical.flag", "new", 2, 3),
    ("C. elegans chemical", DATA / "celegans_herm_chemical.flag", "old", 4, 6),
    ("C. elegans chem_gap", DATA / "celegans_herm_chem_gap.flag", "new", 2, 3),
    ("C. elegans chem_gap", DATA / "celegans_herm_chem_gap.flag", "old", 2, 3),
    ("C. elegans chem_gap", DATA / "celegans_herm_chem_gap.flag", "new", 5, 6),
    ("C. elegans chem_gap", DATA / "celegans_herm_chem_gap.flag", "old", 5, 6),
    ("medium-test-data (31,346 vertices)", DATA / "flagser_tests" / "medium-test-data.flag", "new", 0, 3),
]
LARGE_REQUESTS = [
    ("C. elegans chemical", DATA / "celegans_herm_chemical.flag", "new", 0, 3),
]
SPARSE = ("sparse connectome 140,000 vertices, 2.7 M edges", (140000, 2700000, 1), "new", 2, 3)

CALL = """
import sys, tolva
function = getattr(tolva, "compute_q_near_graph_" + sys.argv[2] + "_from_file")
try:
    pairs = function(sys.argv[1], int(sys.argv[3]), 0, 1, int(sys.argv[4]))
    print(len(pairs))
except MemoryError:
    print("MemoryError")
"""


def measure(path, algorithm, q, max_dimension, workers):
    """(pairs or 'MemoryError', seconds, peak RSS in bytes) of one whole call in a child."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    start = time.perf_counter()
    child = subprocess.Popen([sys.executable, "-c", CALL, str(path), algorithm, str(q), str(max_dimension)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, text=True)
    output = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") else status
    if child.returncode != 0:
        raise SystemExit(f"{path} {algorithm} q={q}: exit status {child.returncode}")
    return output.strip(), seconds, usage.ru_maxrss * 1024


def sparse_graph(size, folder):
    path = pathlib.Path(folder) / "sparse_{}_{}_{}.flag".format(*size)
    if not path.exists():
        subprocess.run([sys.executable, str(SPARSE_TOOL), *map(str, size), str(path)], check=True,
                       stdout=subprocess.DEVNULL)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--large", action="store_true")
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "bench" / "results" / "feasibility.md")
    options = parser.parse_args()
    requests = REQUESTS + (LARGE_REQUESTS if options.large else [])
    cache = ROOT / "build" / "bench-graphs"
    cache.mkdir(parents=True, exist_ok=True)
    if SPARSE_TOOL.exists():
        label, size, algorithm, q, max_dimension = SPARSE
        requests.append((label, sparse_graph(size, cache), algorithm, q, max_dimension))
    rows = ["| graph | algorithm | q | max_dimension | pairs | time (s) | peak memory (MiB) | bytes per pair | workers |",
            "|---|---|---|---|---|---|---|---|---|"]
    for label, path, algorithm, q, max_dimension in requests:
        if not path.exists():
            continue
        pairs, seconds, peak = measure(path, algorithm, q, max_dimension, options.workers)
        per_pair = f"{peak / int(pairs):.0f}" if pairs.isdigit() and int(pairs) > 10**6 else "-"
        pairs_text = f"{int(pairs):,}" if pairs.isdigit() else pairs
        rows.append(f"| {label} | {algorithm} | {q} | {max_dimension} | {pairs_text} | {seconds:.2f} | "
                    f"{peak / 2**20:,.0f} | {per_pair} | {options.workers} |")
        print(rows[-1], flush=True)
    options.out.parent.mkdir(parents=True, exist_ok=True)
    options.out.write_text("\n".join(rows) + "\n")
    print(f"wrote {options.out}")


if __name__ == "__main__":
    main()
