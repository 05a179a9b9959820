"""The benchmark suite: one command, results under bench/results/.

    python bench/run.py [--quick] [--repeats N] [--workers 1,2]
                        [--sparse-vertices N] [--sparse-edges M] [--skip-peer]
                        [--column PATH | --skip-column] [--lock FILE] [--only complex|pairs|column]

Needs the module installed (pip install .) and the `bench` extra (pip install .[bench]:
pyflagsercount, matplotlib, scipy comes with it). Builds the C++ benchmark program
build/bench/tolva_bench, which times the C++ stages (graph, complex, index, algorithm) of the
same code; generated graphs are cached in build/bench-cache/.

The column graph (31,346 vertices, 7.8 M edges, 138.6 M simplices; a seeded stand-in for a
reconstructed cortical column) is generated once by the shared column_graph.py script (about a
minute) into the cache, or taken from --column PATH or $TOLVA_COLUMN_GRAPH. Its runs need
several GiB each; with --lock FILE every one of them holds an exclusive flock on FILE, so that
they never meet another large run on a shared machine.

Two parts, each at every worker count, medians of the repeats:
- Complex: the whole directed flag complex (q = 0) of each graph, stage times and peak RSS,
  beside pyflagsercount's count of the same graph with the same thread count. The two counts
  per dimension must agree: a mismatch fails the run (after the results are written).
- Column: the column graph's complex beside pyflagsercount's count as above, and a whole
  call of the old algorithm at q = 3 (i = 0, j = 1, max_dimension 6) beside that count at the
  same thread count.
- Pairs: whole calls of the module on q-near cases from 10^5 to 10^7 pairs, split into the C++
  stages and the conversion to Python objects (the rest of the whole call), beside the time
  Python itself needs to build the same list of lists from the result ([[s, t] for s, t in r],
  collector paused as during the call). Each repeat is a round over all cases, each whole call
  in a fresh interpreter.

Writes bench/results/results.md and bench/results/results.png (time per simplex and per pair
against size).
"""
import argparse
import contextlib
import fcntl
import json
import os
import pathlib
import platform
import random
import statistics
import subprocess
import sys
import textwrap

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
BENCH = BUILD / "tolva_bench"
CACHE = ROOT / "build" / "bench-cache"
RESULTS = ROOT / "bench" / "results"
DATA = ROOT / "data"
# The shared folder beside the checkout (a worktree sits one level deeper).
SHARED = next((folder / "shared" for folder in (ROOT.parent, ROOT.parent.parent) if (folder / "shared").is_dir()),
              ROOT.parent / "shared")
SPARSE_TOOL = SHARED / "tools" / "sparse_connectome.py"
COLUMN_TOOL = SHARED / "tools" / "column_graph.py"
# vertices, mean out-degree, order bias, seed, length and radius (um) of the column graph
COLUMN_ARGUMENTS = ("31346", "250", "0.35", "1", "200", "330")
COLUMN_NAME = "column"
# The column's q-near case: old algorithm, q = 3, i = 0, j = 1, max_dimension 6.
COLUMN_CASE = (3, 0, 1, 6)


def find_data(name):
    for folder in (DATA / "flagser_tests", DATA, SHARED / "data" / "flagser_tests", SHARED / "data"):
        if (folder / name).exists():
            return folder / name
    return None


def write_erdos_renyi(n, p, seed):
    """An Erdos-Renyi digraph as a .flag file (cached): each ordered pair u != v with probability p."""
    import numpy as np

    path = CACHE / f"er-{n}-{p}-{seed}.flag"
    if not path.exists():
        rng = np.random.default_rng(seed)
        edges = rng.random((n, n)) < p
        np.fill_diagonal(edges, False)
        sources, targets = np.nonzero(edges)
        lines = "\n".join(f"{s} {t}" for s, t in zip(sources.tolist(), targets.tolist()))
        path.write_text("dim 0\n" + " ".join(["0"] * n) + "\ndim 1\n" + lines + "\n")
    return path


def write_sparse(vertices, edges, seed=1):
    path = CACHE / f"sparse-{vertices}-{edges}-{seed}.flag"
    if not path.exists():
        subprocess.run([sys.executable, str(SPARSE_TOOL), str(vertices), str(edges), str(seed), str(path)],
                       check=True, capture_output=True)
    return path


def column_graph(override=None):
    """The column graph: the given file, else the cached one, generated when missing."""
    override = override or os.environ.get("TOLVA_COLUMN_GRAPH")
    if override:
        path = pathlib.Path(override)
        if not path.exists():
            raise SystemExit(f"column graph {path} does not exist")
        return path
    n, degree, bias, seed, length, radius = COLUMN_ARGUMENTS
    path = CACHE / f"column-{'-'.join(COLUMN_ARGUMENTS)}.flag"
    if not path.exists():
        partial = path.with_suffix(".partial")
        subprocess.run([sys.executable, str(COLUMN_TOOL), n, degree, bias, seed, str(partial), length, radius],
                       check=True, capture_output=True)
        partial.rename(path)  # a run cut short leaves no truncated graph behind
    return path


# Held around every run on a large graph when --lock is given.
LOCK = {"path": None}


@contextlib.contextmanager
def large_run(large):
    if not large or LOCK["path"] is None:
        yield
        return
    with open(LOCK["path"], "a") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(handle, fcntl.LOCK_UN)


def build_bench_program():
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja", "-DTOLVA_PYTHON_MODULE=OFF",
                    "-DTOLVA_BUILD_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(BUILD)], check=True, capture_output=True)


def run_bench(path, workers, q=0, max_dimension=None, algorithm=None, i=0, j=1, large=False):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers), TOLVA_BENCH_JSON="1", TOLVA_BENCH_INDEX="1")
    if algorithm:
        env.update(TOLVA_BENCH_ALGORITHM=algorithm, TOLVA_BENCH_I=str(i), TOLVA_BENCH_J=str(j))
    command = [str(BENCH), "flag", str(path), str(q)] + ([str(max_dimension)] if max_dimension is not None else [])
    with large_run(large):
        out = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


PEER_SCRIPT = textwrap.dedent("""
    import json, resource, sys, time
    import numpy as np, scipy.sparse as sparse
    import pyflagsercount
    path, threads = sys.argv[1], int(sys.argv[2])
    with open(path) as f:
        head = [f.readline() for _ in range(3)]
        text = f.read()
    n = len(head[1].split())
    if all(len(line.split()) == 2 for line in text[:4096].splitlines()[:-1] if line.strip()):
        pairs = np.fromstring(text, dtype=np.int64, sep=" ").reshape(-1, 2)  # millions of lines
    else:
        pairs = np.array([l.split()[:2] for l in text.split("\\n") if l.strip()], dtype=np.int64).reshape(-1, 2)
    keep = pairs[:, 0] != pairs[:, 1]
    pairs = pairs[keep]
    matrix = sparse.csr_matrix((np.ones(len(pairs), dtype=bool), (pairs[:, 0], pairs[:, 1])), shape=(n, n))
    start = time.perf_counter()
    counts = pyflagsercount.flagser_count(matrix, threads=threads)["cell_counts"]
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "counts": [int(c) for c in counts],
                      "peak_rss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
""")


def run_peer(path, workers, large=False):
    with large_run(large):
            out = subprocess.run([sys.executable, "-c", PEER_SCRIPT, str(path), str(workers)], check=True,
                             capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


WHOLE_CALL_SCRIPT = textwrap.dedent("""
    import gc, json, os, resource, sys, time
    import tolva
    path, kind, q, i, j, max_dimension, repeats = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:8])
    function = getattr(tolva, f"compute_q_near_graph_{kind}_from_file")
    devnull = os.open(os.devnull, os.O_WRONLY)
    whole, python, kernel = [], [], []
    for _ in range(repeats):
        saved = os.dup(2)
        os.dup2(devnull, 2)  # the report line
        before = resource.getrusage(resource.RUSAGE_SELF)
        start = time.perf_counter()
        result = function(path, q, i, j, max_dimension)
        whole.append(time.perf_counter() - start)
        after = resource.getrusage(resource.RUSAGE_SELF)
        system = after.ru_stime - before.ru_stime
        kernel.append(system / max(1e-9, system + after.ru_utime - before.ru_utime))
        os.dup2(saved, 2)
        os.close(saved)
        gc.disable()
        start = time.perf_counter()
        rebuilt = [[s, t] for s, t in result]
        python.append(time.perf_counter() - start)
        gc.enable()
        pairs = len(result)
        del result, rebuilt
    print(json.dumps({"whole": whole, "python": python, "kernel": kernel, "pairs": pairs,
                      "peak_rss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
""")


def run_whole_calls(path, kind, q, i, j, max_dimension, workers, repeats, large=False):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    with large_run(large):
        out = subprocess.run([sys.executable, "-c", WHOLE_CALL_SCRIPT, str(path), kind, str(q), str(i), str(j),
                              str(max_dimension), str(repeats)], env=env, check=True, capture_output=True,
                             text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def median_of(runs, key):
    return statistics.median(run[key] for run in runs)


def complex_rows(graphs, worker_counts, repeats, with_peer, log):
    rows, mismatches = [], []
    for name, path in graphs:
        for workers in worker_counts:
            large = name == COLUMN_NAME
            runs = [run_bench(path, workers, large=large) for _ in range(repeats)]
            counts = [int(c) for c in runs[0]["simplices"]]
            row = {"graph": name, "vertices": runs[0]["vertices"], "edges": runs[0]["edges"], "workers": workers,
                   "simplices": sum(counts), "graph_s": median_of(runs, "graph_s"),
                   "complex_s": median_of(runs, "complex_s"), "index_s": median_of(runs, "index_s"),
                   "peak_rss_mib": max(r["peak_rss_kib"] for r in runs) / 1024}
            if with_peer:
                peer = [run_peer(path, workers, large) for _ in range(repeats)]
                peer_counts = list(peer[0]["counts"])
                while peer_counts and peer_counts[-1] == 0:
                    peer_counts.pop()
                row.update(peer_s=median_of(peer, "seconds"), peer_rss_mib=max(p["peak_rss_kib"] for p in peer) / 1024,
                           counts_match=peer_counts == counts)
                if peer_counts != counts:
                    mismatches.append(f"{name} at {workers} workers: tolva {counts}, pyflagsercount {peer_counts}")
            rows.append(row)
            log(f"complex {name} workers={workers}: {row['simplices']} simplices, complex {row['complex_s']:.3f} s"
                + (f", peer {row['peer_s']:.3f} s" if with_peer else ""))
    return rows, mismatches


def kinds_of(case):
    """The column's case is run with the old algorithm only: the new one's pairs there are many more."""
    return ("old",) if case[0] == COLUMN_NAME else ("old", "new")


def pair_rows(cases, worker_counts, repeats, log):
    """Each repeat is one round over all cases in a shuffled order, one fresh process per whole
    call: a slow spell of the machine then falls on every case alike instead of on the one
    measured during it."""
    combos = [(case, kind, workers) for case in cases for kind in kinds_of(case) for workers in worker_counts]
    stages = {combo: [] for combo in combos}
    calls = {combo: [] for combo in combos}
    for round_number in range(repeats):
        # A shuffled order per round: the process after a large one runs slower (its freed
        # memory is still being handed back), and this spreads that over all cases.
        for combo in random.Random(round_number).sample(combos, len(combos)):
            (name, path, q, i, j, max_dimension), kind, workers = combo
            large = name == COLUMN_NAME
            stages[combo].append(run_bench(path, workers, q, max_dimension, kind, i, j, large))
            calls[combo].append(run_whole_calls(path, kind, q, i, j, max_dimension, workers, 1, large))
        log(f"pairs: round {round_number + 1} of {repeats} done")
    rows = []
    for combo in combos:
        (name, path, q, i, j, max_dimension), kind, workers = combo
        runs = calls[combo]
        row = {"case": f"{name} q={q} i={i} j={j} max_dimension={max_dimension}", "algorithm": kind,
               "workers": workers, "pairs": runs[0]["pairs"]}
        for stage in ("graph_s", "complex_s", "index_s", "algorithm_s"):
            row[stage] = median_of(stages[combo], stage)
        row["whole_s"] = statistics.median(run["whole"][0] for run in runs)
        row["python_s"] = statistics.median(run["python"][0] for run in runs)
        row["kernel_share"] = statistics.median(run["kernel"][0] for run in runs)
        row["conversion_s"] = row["whole_s"] - sum(row[s] for s in ("graph_s", "complex_s", "index_s", "algorithm_s"))
        row["peak_rss_mib"] = max(run["peak_rss_kib"] for run in runs) / 1024
        if any(stage["pairs"] != row["pairs"] for stage in stages[combo]):
            raise SystemExit(f"{row['case']} {kind}: the module and the bench program disagree on the pairs")
        rows.append(row)
        log(f"pairs {row['case']} {kind} workers={workers}: {row['pairs']} pairs, whole "
            f"{1e9 * row['whole_s'] / row['pairs']:.0f} ns/pair, python list "
            f"{1e9 * row['python_s'] / row['pairs']:.0f} ns/pair")
    return rows


def markdown(complex_table, pair_table, mismatches, settings):
    out = ["# tolva benchmark results", "", settings, ""]
    if complex_table:
        out += complex_lines(complex_table)
    if pair_table:
        out += pair_lines(pair_table) + flatness_lines(pair_table)
    out += column_lines(complex_table, pair_table)
    if mismatches:
        out += ["", "## Count mismatches", ""] + [f"- {m}" for m in mismatches]
    return "\n".join(out) + "\n"


def complex_lines(complex_table):
    out = ["## Directed flag complex (q = 0, all dimensions)", "",
            "Seconds, medians. peer = pyflagsercount's count of the same graph with the same thread count "
            "(the graph already in memory).", "",
            "| graph | vertices | edges | simplices | workers | graph | complex | index | ns/simplex | peak RSS MiB "
            "| peer | complex / peer | peer RSS MiB | counts |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    for r in complex_table:
        peer = (f"{r['peer_s']:.3f} | {r['complex_s'] / r['peer_s']:.2f} | {r['peer_rss_mib']:.0f} | "
                f"{'equal' if r['counts_match'] else 'MISMATCH'}") if "peer_s" in r else "- | - | - | -"
        out.append(f"| {r['graph']} | {r['vertices']} | {r['edges']} | {r['simplices']} | {r['workers']} | "
                   f"{r['graph_s']:.3f} | {r['complex_s']:.3f} | {r['index_s']:.3f} | "
                   f"{1e9 * r['complex_s'] / r['simplices']:.1f} | {r['peak_rss_mib']:.0f} | {peer} |")
    return out


def pair_lines(pair_table):
    out = ["", "## q-near graphs: whole calls", "",
            "Seconds, medians. conversion = whole call minus the C++ stages. python list = building the "
            "same list of lists in Python ([[s, t] for s, t in result], collector paused). Each repeat is a "
            "round over all cases; each whole call runs in a fresh interpreter.", "",
            "| case | algorithm | workers | pairs | graph | complex | index | algorithm | conversion | whole | "
            "whole ns/pair | python list ns/pair | whole / python list | peak RSS MiB |",
            "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in pair_table:
        out.append(f"| {r['case']} | {r['algorithm']} | {r['workers']} | {r['pairs']} | {r['graph_s']:.3f} | "
                   f"{r['complex_s']:.3f} | {r['index_s']:.3f} | {r['algorithm_s']:.3f} | {r['conversion_s']:.3f} | "
                   f"{r['whole_s']:.3f} | {1e9 * r['whole_s'] / r['pairs']:.0f} | "
                   f"{1e9 * r['python_s'] / r['pairs']:.0f} | {r['whole_s'] / r['python_s']:.2f} | "
                   f"{r['peak_rss_mib']:.0f} |")
    return out


def column_lines(complex_table, pair_table):
    """The column's whole q-near call beside the peer's count of its complex, per thread count."""
    peers = {r["workers"]: r for r in complex_table if r["graph"] == COLUMN_NAME and "peer_s" in r}
    calls = {r["workers"]: r for r in pair_table if r["case"].startswith(COLUMN_NAME + " ")}
    lines = []
    for workers in sorted(set(peers) & set(calls)):
        peer, call = peers[workers], calls[workers]
        lines.append(f"| {workers} | {peer['simplices']} | {peer['complex_s']:.3f} | {peer['peer_s']:.3f} | "
                     f"{'equal' if peer['counts_match'] else 'MISMATCH'} | {call['pairs']} | {call['index_s']:.3f} | "
                     f"{call['algorithm_s']:.3f} | {call['whole_s']:.3f} | {call['whole_s'] / peer['peer_s']:.2f} | "
                     f"{100 * call['kernel_share']:.1f} | {call['peak_rss_mib']:.0f} |")
    if not lines:
        return []
    q, i, j, max_dimension = COLUMN_CASE
    return ["", "## Column graph", "",
            f"The complex (q = 0) beside pyflagsercount's count at the same thread count, and the whole call "
            f"(file to Python list) of the old algorithm at q = {q}, i = {i}, j = {j}, max_dimension = {max_dimension}. "
            "Seconds, medians; whole / peer = that call over the peer's count; kernel % = the call's system "
            "CPU time over its user and system time (getrusage).", "",
            "| workers | simplices | complex | peer | counts | pairs | index | algorithm | whole | whole / peer "
            "| kernel % | peak RSS MiB |", "|---:|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|"] + lines


def flatness_lines(pair_table):
    """Whole-call ns/pair of the largest case over that of the case nearest 10^6 pairs."""
    groups = {}
    for r in pair_table:
        groups.setdefault((r["algorithm"], r["workers"]), []).append(r)
    lines = []
    for (algorithm, workers), rows in groups.items():
        if len(rows) < 2:
            continue
        largest = max(rows, key=lambda r: r["pairs"])
        near_million = min(rows, key=lambda r: abs(r["pairs"] - 1e6))
        if largest is near_million:
            continue
        per_pair = lambda r: 1e9 * r["whole_s"] / r["pairs"]
        lines.append(f"| {algorithm} | {workers} | {near_million['pairs']} | {per_pair(near_million):.0f} | "
                     f"{largest['pairs']} | {per_pair(largest):.0f} | {per_pair(largest) / per_pair(near_million):.2f} |")
    if not lines:
        return []
    return ["", "## Whole-call cost per pair against size", "",
            "| algorithm | workers | pairs | ns/pair | pairs | ns/pair | ratio |", "|---|---:|---:|---:|---:|---:|---:|"] + lines


def plot(complex_table, pair_table, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (left, right) = plt.subplots(1, 2, figsize=(13, 5))
    for workers in sorted({r["workers"] for r in complex_table}):
        rows = sorted((r for r in complex_table if r["workers"] == workers), key=lambda r: r["simplices"])
        sizes = [r["simplices"] for r in rows]
        left.plot(sizes, [1e9 * r["complex_s"] / r["simplices"] for r in rows], "o-", label=f"tolva, {workers} workers")
        if all("peer_s" in r for r in rows):
            left.plot(sizes, [1e9 * r["peer_s"] / r["simplices"] for r in rows], "s--",
                      label=f"pyflagsercount, {workers} threads")
    left.set(xscale="log", yscale="log", xlabel="simplices", ylabel="ns per simplex", title="Complex stage")
    left.legend()
    for kind in ("old", "new"):
        for workers in sorted({r["workers"] for r in pair_table}):
            rows = sorted((r for r in pair_table if r["algorithm"] == kind and r["workers"] == workers),
                          key=lambda r: r["pairs"])
            right.plot([r["pairs"] for r in rows], [1e9 * r["whole_s"] / r["pairs"] for r in rows], "o-",
                       label=f"whole call, {kind}, {workers} workers")
    rows = sorted(pair_table, key=lambda r: r["pairs"])
    right.plot([r["pairs"] for r in rows], [1e9 * r["python_s"] / r["pairs"] for r in rows], "k.",
               label="Python building the same list")
    right.set(xscale="log", xlabel="pairs", ylabel="ns per pair", title="q-near graph, whole call")
    right.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def standard_graphs_and_cases(quick, sparse_vertices, sparse_edges):
    chem_gap, chemical = DATA / "celegans_herm_chem_gap.flag", DATA / "celegans_herm_chemical.flag"
    graphs = [("ER n=300 p=0.3", write_erdos_renyi(300, 0.3, 1)), ("C. elegans chem_gap", chem_gap),
              ("d10", find_data("d10.flag")), ("C. elegans chemical", chemical)]
    if not quick:
        graphs.insert(2, ("ER n=1000 p=0.2", write_erdos_renyi(1000, 0.2, 1)))
    medium = find_data("medium-test-data.flag")
    if medium is not None:
        graphs.append(("medium-test-data", medium))
    graphs.append((f"sparse connectome {sparse_vertices}/{sparse_edges}", write_sparse(sparse_vertices, sparse_edges)))
    cases = [("C. elegans chemical", chemical, 2, 0, 1, 3), ("C. elegans chem_gap", chem_gap, 2, 0, 1, 3)]
    if not quick:
        cases += [("C. elegans chemical", chemical, 1, 0, 1, 3), ("C. elegans chem_gap", chem_gap, 5, 0, 1, 6)]
    return graphs, cases


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller graphs and pair cases, 3 repeats")
    parser.add_argument("--repeats", type=int, default=None, help="repeats per measurement (default 5, quick 3)")
    parser.add_argument("--workers", default="1,2", help="worker counts, comma-separated (default 1,2)")
    parser.add_argument("--sparse-vertices", type=int, default=None, help="vertices of the sparse connectome graph")
    parser.add_argument("--sparse-edges", type=int, default=None, help="edges of the sparse connectome graph")
    parser.add_argument("--skip-peer", action="store_true", help="do not run pyflagsercount")
    parser.add_argument("--only", choices=("complex", "pairs", COLUMN_NAME), default=None,
                        help="run one part; its results go to bench/results/<part>.md and <part>.png")
    parser.add_argument("--column", default=None,
                        help="the column graph's .flag file (default $TOLVA_COLUMN_GRAPH, else generated and cached)")
    parser.add_argument("--skip-column", action="store_true", help="leave the column graph out")
    parser.add_argument("--lock", default=None, help="hold an exclusive flock on this file during each column run")
    args = parser.parse_args()
    repeats = args.repeats or (3 if args.quick else 5)
    LOCK["path"] = args.lock
    with_column = args.only == COLUMN_NAME or not (args.skip_column or args.quick)
    worker_counts = [int(w) for w in args.workers.split(",")]
    sparse_vertices = args.sparse_vertices or (10000 if args.quick else 140000)
    sparse_edges = args.sparse_edges or (60000 if args.quick else 2700000)

    CACHE.mkdir(parents=True, exist_ok=True)
    RESULTS.mkdir(parents=True, exist_ok=True)
    build_bench_program()
    log = lambda line: print(line, flush=True)

    if args.only == COLUMN_NAME:
        column = column_graph(args.column)
        graphs, cases = [(COLUMN_NAME, column)], [(COLUMN_NAME, column, *COLUMN_CASE)]
    else:
        graphs, cases = standard_graphs_and_cases(args.quick, sparse_vertices, sparse_edges)
        if with_column:
            column = column_graph(args.column)
            graphs.append((COLUMN_NAME, column))
            cases.append((COLUMN_NAME, column, *COLUMN_CASE))

    complex_table, mismatches = ([], []) if args.only == "pairs" else complex_rows(
        graphs, worker_counts, repeats, not args.skip_peer, log)
    pair_table = [] if args.only == "complex" else pair_rows(cases, worker_counts, repeats, log)
    settings = (f"{platform.node()}, {os.cpu_count()} CPUs, Python {platform.python_version()}; "
                f"{repeats} repeats; command: python bench/run.py {' '.join(sys.argv[1:])}".rstrip())
    stem = args.only or "results"
    (RESULTS / f"{stem}.md").write_text(markdown(complex_table, pair_table, mismatches, settings))
    try:
        plot(complex_table, pair_table, RESULTS / f"{stem}.png")
        log(f"wrote {RESULTS / f'{stem}.md'} and {RESULTS / f'{stem}.png'}")
    except ImportError as missing:  # the tables are written; only the figure needs matplotlib
        log(f"wrote {RESULTS / f'{stem}.md'}; no figure: {missing}")
    if mismatches:
        raise SystemExit("simplex counts differ from pyflagsercount's:\n" + "\n".join(mismatches))


if __name__ == "__main__":
    main()
