"""What a pair of the Python result costs, three ways, for one call:

- requested: bytes the interpreter asks its allocators for (tracemalloc), per pair;
- resident: growth of the resident set over the call, per pair, in a fresh interpreter (the
  call's native arrays are released before it returns);
- guard: the figure the memory guard uses, found by bisecting a faked MemAvailable (a copy
  of /proc/meminfo bound over the real one in a private mount namespace; needs root or
  unprivileged user namespaces) between refusal and success.

    python bench/result_memory.py [flag-file] [q] [i] [j] [max_dimension]

Defaults: data/celegans_herm_chemical.flag with q=2, i=0, j=0, max_dimension=4
(about 9.6 million pairs).
"""
import json
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from test_memory_guard import fake_meminfo  # noqa: E402

ARGS = sys.argv[1:] or [str(ROOT / "data" / "celegans_herm_chemical.flag"), "2", "0", "0", "4"]
CALL = f"tolva.compute_q_near_graph_old_from_file({ARGS[0]!r}, {', '.join(ARGS[1:])})"

MEASURE = f"""
import gc, json, tracemalloc, tolva
def resident():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmRSS:"))
before = resident()  # the call's native arrays are large mappings, returned when freed
result = {CALL}
resident_growth = resident() - before
pairs = len(result)
del result
gc.collect()
tracemalloc.start()
result = {CALL}
requested, _ = tracemalloc.get_traced_memory()
print(json.dumps(dict(pairs=pairs, resident=resident_growth, requested=requested)))
"""

OUTCOME = f"""
import tolva
try:
    {CALL}
    print("fits")
except MemoryError:
    print("refused")
"""


def refused(available, scratch):
    fake = fake_meminfo(scratch, available)
    script = f'mount --bind {fake} /proc/meminfo && exec "$0" -c "$1"'
    run = subprocess.run(["unshare", "-m", "sh", "-c", script, sys.executable, OUTCOME], capture_output=True,
                         text=True, check=True)
    return run.stdout.strip() == "refused"


def guard_threshold(low, high, scratch):
    """The smallest MemAvailable (to 0.1 %) at which the call is not refused."""
    while high - low > high // 1000:
        middle = (low + high) // 2
        if refused(middle, scratch):
            low = middle
        else:
            high = middle
    return high


def main():
    run = subprocess.run([sys.executable, "-c", MEASURE], capture_output=True, text=True, check=True)
    measured = json.loads(run.stdout.strip().splitlines()[-1])
    pairs = measured["pairs"]
    print(f"{CALL}: {pairs} pairs")
    print(f"requested (tracemalloc):  {measured['requested'] / pairs:6.1f} bytes per pair")
    print(f"resident growth (VmRSS):  {measured['resident'] / pairs:6.1f} bytes per pair")
    with tempfile.TemporaryDirectory() as scratch:
        most = 2 * max(measured["requested"], measured["resident"])
        threshold = guard_threshold(measured["requested"] // 2, most, pathlib.Path(scratch))
    print(f"guard (bisected):         {threshold / pairs:6.1f} bytes per pair")


if __name__ == "__main__":
    main()
