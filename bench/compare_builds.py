"""Stage times of several builds of the bench program on the same requests, interleaved round
by round (the order of the builds alternating) so that a slow spell of the machine falls on
all of them; prints medians and lower quartiles (milliseconds) as a Markdown table.

    python bench/compare_builds.py before=OLD/tolva_bench after=build/bench/tolva_bench \
        [--rounds 7] [--workers 2] [--column PATH]

The bench program prints its stages to 10 µs since b479bee; older builds print whole milliseconds.

Requests: the C. elegans pair cases of bench/run.py (both algorithms) and, with --column, the
column graph at q = 3 (old). The stage times are the bench program's own (complex, index,
algorithm), not whole calls.
"""
import argparse
import itertools
import os
import pathlib
import re
import statistics
import subprocess

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
CASES = [("chemical q=1 max 3", DATA / "celegans_herm_chemical.flag", 1, 3, ("old", "new")),
         ("chemical q=2 max 3", DATA / "celegans_herm_chemical.flag", 2, 3, ("old", "new")),
         ("chem_gap q=2 max 3", DATA / "celegans_herm_chem_gap.flag", 2, 3, ("old", "new")),
         ("chem_gap q=5 max 6", DATA / "celegans_herm_chem_gap.flag", 5, 6, ("old", "new"))]
STAGES = ("complex", "index", "algorithm")


def stage_times(binary, path, q, max_dimension, algorithm, workers):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers), TOLVA_BENCH_ALGORITHM=algorithm, TOLVA_BENCH_INDEX="1")
    out = subprocess.run([binary, "flag", str(path), str(q), str(max_dimension)], env=env, check=True,
                         capture_output=True, text=True).stdout
    found = {stage: re.search(rf"^(?:{algorithm} )?{stage}: ([0-9.]+) s", out, re.M) for stage in STAGES}
    return {stage: float(match.group(1)) for stage, match in found.items() if match}


def spread(seconds):
    """Median ~ lower quartile in milliseconds: a slow spell moves the median more than the quartile."""
    if not seconds:
        return "-"
    return f"{statistics.median(seconds) * 1e3:.2f} ~ {sorted(seconds)[len(seconds) // 4] * 1e3:.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("builds", nargs="+", help="NAME=PATH of a tolva_bench binary")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--column", default=None, help="the column graph's .flag file (adds its q = 3 request)")
    args = parser.parse_args()
    builds = dict(named.split("=", 1) for named in args.builds)
    cases = list(CASES) + ([("column q=3 max 6", args.column, 3, 6, ("old",))] if args.column else [])
    requests = [(name, path, q, top, algorithm) for name, path, q, top, kinds in cases for algorithm in kinds]
    times = {}
    for round_number in range(args.rounds):
        order = list(builds) if round_number % 2 == 0 else list(builds)[::-1]
        for request, build in itertools.product(requests, order):
            name, path, q, top, algorithm = request
            times.setdefault((name, algorithm, build), []).append(
                stage_times(builds[build], path, q, top, algorithm, args.workers))
    print(f"workers: {args.workers}, rounds: {args.rounds} (milliseconds: median ~ lower quartile)\n")
    print("| request | algorithm | " + " | ".join(f"{b} {s}" for b in builds for s in STAGES) + " |")
    print("|---|---|" + "---|" * (len(builds) * len(STAGES)))
    for name, _, _, _, algorithm in requests:
        cells = [spread([run[s] for run in times[(name, algorithm, b)] if s in run]) for b in builds for s in STAGES]
        print(f"| {name} | {algorithm} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
