"""Complex stage of tolva against the clique counter pyflagsercount, side by side.

    python bench/compare_peer.py [--repeats R] [--workers 1,2] [--graphs a,b] [--old PATH]
                                 [--no-peer] [--scratch DIR]

Each graph is written as a .flag file under the scratch folder (default: a temporary one),
then, at each worker count and in turn R times: build/bench/tolva_bench (the same C++ code as
the module; built here) counts and stores the complex, an optional older tolva_bench given
with --old does the same, and pyflagsercount counts the same graph with as many threads.
Medians are printed as a markdown table with the ratio tolva / peer. The counts of every
dimension both produce must agree, or the run fails. Graphs: ER random graphs, the C. elegans
gap-junction + chemical network, the complete digraph on 10 vertices, the flagser medium test
graph, and sparse heavy-tailed graphs from shared/tools/sparse_connectome.py.
"""
import argparse
import json
import os
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH = ROOT / "build" / "bench" / "tolva_bench"
SHARED = ROOT.parent / "shared"
GENERATOR = SHARED / "tools" / "sparse_connectome.py"
UNBOUNDED = 2**64 - 1


def er_edges(n, p, seed):
    rng = np.random.default_rng(seed)
    a = rng.random((n, n)) < p
    np.fill_diagonal(a, False)
    return np.argwhere(a)


def write_flag(path, n, edges):
    with open(path, "w") as f:
        f.write("dim 0\n" + " ".join(["0"] * n) + "\ndim 1\n")
        f.write("".join(f"{a} {b}\n" for a, b in edges))


# name -> (q, max_dimension, how to make the file)
def graph_table():
    def er(n, p, seed):
        return lambda path: write_flag(path, n, er_edges(n, p, seed))

    def copy(source):
        return lambda path: path.write_bytes(source.read_bytes())

    def sparse(n, edges, seed):
        return lambda path: subprocess.run([sys.executable, str(GENERATOR), str(n), str(edges), str(seed), str(path)],
                                           check=True, capture_output=True)

    medium = ROOT / "data" / "flagser_tests" / "medium-test-data.flag"
    if not medium.exists():
        medium = SHARED / "data" / "flagser_tests" / "medium-test-data.flag"
    return {
        "er300": (0, UNBOUNDED, er(300, 0.3, 1)),
        "chem_gap": (0, UNBOUNDED, copy(ROOT / "data" / "celegans_herm_chem_gap.flag")),
        "er1000": (0, UNBOUNDED, er(1000, 0.2, 1)),
        "d10": (0, UNBOUNDED, copy(ROOT / "data" / "flagser_tests" / "d10.flag")),
        "medium": (0, UNBOUNDED, copy(medium)),
        "sparse31k": (0, UNBOUNDED, sparse(31000, 300000, 3)),
        "sparse140k": (2, 3, sparse(140000, 2700000, 1)),
    }


def build_bench_program():
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BENCH.parent), "-G", "Ninja", "-DTOLVA_PYTHON_MODULE=OFF",
                    "-DTOLVA_BUILD_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(BENCH.parent)], check=True, capture_output=True)


def run_tolva(program, path, q, max_dimension, workers):
    """Complex stage seconds, counts per dimension, and the peak RSS (MiB) of the whole run,
    taken by /usr/bin/time: a process started from this one would report ours."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    with tempfile.NamedTemporaryFile("r") as rss_file:
        out = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file.name, str(program), "flag", str(path), str(q),
                              str(max_dimension)], env=env, check=True, capture_output=True, text=True).stdout
        rss = int(rss_file.read().split()[-1]) // 1024
    counts = [int(c) for c in re.search(r"simplices per dimension:([ 0-9]*)", out).group(1).split()]
    seconds = float(re.search(r"complex: ([0-9.]+) s", out).group(1))
    return seconds, counts, rss


PEER_SCRIPT = r"""
import sys, time, json
import numpy as np, scipy.sparse, pyflagsercount
path, threads, max_dim = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(path) as f:
    f.readline()
    n = len(f.readline().split())
    f.readline()
    rows = [line.split()[:2] for line in f if len(line.split()) >= 2]
edges = np.array(rows, dtype=np.int64).reshape(-1, 2)
a = scipy.sparse.coo_matrix((np.ones(len(edges), dtype=np.int8), (edges[:, 0], edges[:, 1])), shape=(n, n))
start = time.perf_counter()
result = pyflagsercount.flagser_count(a, threads=threads, max_dim=max_dim)
print(json.dumps([time.perf_counter() - start, [int(c) for c in result["cell_counts"]]]))
"""


def run_peer(path, workers, max_dimension):
    peer_max = -1 if max_dimension == UNBOUNDED else max_dimension
    out = subprocess.run([sys.executable, "-c", PEER_SCRIPT, str(path), str(workers), str(peer_max)],
                         check=True, capture_output=True, text=True).stdout
    seconds, counts = json.loads(out)
    return seconds, counts


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--workers", default="1,2")
    parser.add_argument("--graphs", default="er300,chem_gap,er1000,d10,medium,sparse31k,sparse140k")
    parser.add_argument("--old", help="another tolva_bench to time side by side")
    parser.add_argument("--no-peer", action="store_true")
    parser.add_argument("--scratch")
    args = parser.parse_args()
    build_bench_program()
    scratch = pathlib.Path(args.scratch or tempfile.mkdtemp(prefix="tolva-bench-"))
    scratch.mkdir(parents=True, exist_ok=True)
    table = graph_table()
    header = "| graph | workers | simplices | tolva complex s (peak RSS MiB) |"
    header += " old complex s |" if args.old else ""
    header += " pyflagsercount s | tolva / peer |" if not args.no_peer else ""
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    failed = False
    for name in args.graphs.split(","):
        q, max_dimension, make = table[name]
        path = scratch / f"{name}.flag"
        if not path.exists():
            make(path)
        for workers in (int(w) for w in args.workers.split(",")):
            ours, old, peer, rss = [], [], [], 0
            for _ in range(args.repeats):
                seconds, counts, rss = run_tolva(BENCH, path, q, max_dimension, workers)
                ours.append(seconds)
                if args.old:
                    old_seconds, old_counts, _ = run_tolva(args.old, path, q, max_dimension, workers)
                    old.append(old_seconds)
                    if old_counts != counts:
                        print(f"COUNT MISMATCH old {name}: {old_counts} vs {counts}")
                        failed = True
                if not args.no_peer:
                    peer_seconds, peer_counts = run_peer(path, workers, max_dimension)
                    peer.append(peer_seconds)
                    if peer_counts[q:q + len(counts)] != counts:
                        print(f"COUNT MISMATCH peer {name}: {peer_counts} vs tolva {counts} from dimension {q}")
                        failed = True
            row = f"| {name} (q={q}, max {max_dimension if max_dimension != UNBOUNDED else 'all'}) | {workers} |"
            row += f" {sum(counts)} | {statistics.median(ours):.3f} ({rss}) |"
            if args.old:
                row += f" {statistics.median(old):.3f} |"
            if not args.no_peer:
                row += f" {statistics.median(peer):.3f} | {statistics.median(ours) / statistics.median(peer):.2f} |"
            print(row, flush=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
