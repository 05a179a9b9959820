"""Times whole calls of the module and splits them into stages.

The C++ stages (graph, complex, index, algorithm) are timed by the benchmark program
build/bench/tolva_bench, which runs the same code; the conversion of the result to Python
objects is the rest of the whole call's time.

    python bench/bench_pipeline.py [flag-file] [q] [i] [j] [max_dimension]

Defaults: data/celegans_herm_chem_gap.flag with q=2, i=0, j=1, max_dimension=3
(about 10^6 result pairs). The worker count comes from RAYON_NUM_THREADS as usual.
"""
import os
import pathlib
import re
import subprocess
import sys
import time

import tolva

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH = ROOT / "build" / "bench" / "tolva_bench"


def build_bench_program():
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BENCH.parent), "-G", "Ninja", "-DTOLVA_PYTHON_MODULE=OFF",
                    "-DTOLVA_BUILD_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(BENCH.parent)], check=True, capture_output=True)


def cpp_stage_times(path, q, i, j, max_dimension, algorithm):
    env = dict(os.environ, TOLVA_BENCH_ALGORITHM=algorithm, TOLVA_BENCH_I=str(i), TOLVA_BENCH_J=str(j))
    out = subprocess.run([str(BENCH), "flag", str(path), str(q), str(max_dimension)], env=env, check=True,
                         capture_output=True, text=True).stdout
    seconds = lambda label: float(re.search(label + r"[^\n]*?([0-9.]+) s\b", out).group(1))
    return {"graph": seconds("graph"), "complex": seconds("complex"), "index": seconds("index"),
            "algorithm": seconds(algorithm + " algorithm")}


def best_of(repeats, call):
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "data" / "celegans_herm_chem_gap.flag"
    q, i, j, max_dimension = (int(a) for a in (sys.argv[2:6] if len(sys.argv) > 5 else (2, 0, 1, 3)))
    build_bench_program()
    devnull = os.open(os.devnull, os.O_WRONLY)
    for algorithm, function in (("old", tolva.compute_q_near_graph_old_from_file),
                                ("new", tolva.compute_q_near_graph_new_from_file)):
        stages = min((cpp_stage_times(path, q, i, j, max_dimension, algorithm) for _ in range(3)),
                     key=lambda s: sum(s.values()))
        saved = os.dup(2)
        os.dup2(devnull, 2)  # the report lines of the timed calls
        try:
            whole, pairs = best_of(3, lambda: function(str(path), q, i, j, max_dimension))
        finally:
            os.dup2(saved, 2)
        conversion = whole - sum(stages.values())
        parts = ", ".join(f"{name} {seconds:.3f}" for name, seconds in stages.items())
        print(f"{algorithm}: {len(pairs)} pairs, whole call {whole:.3f} s = {parts}, conversion {conversion:.3f}")


if __name__ == "__main__":
    main()
