"""Running out of memory anywhere in a call raises MemoryError and the interpreter goes on: the
next call gives the right result. Work that cannot fit is refused before it starts. Each case
runs in a child interpreter, under an address-space limit set a given amount above what the
child already maps (so that the limit bites at different stages of the call on any host), or
with the guard's figure of available memory injected."""
import hashlib
import json
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import _python_env

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
GAP = DATA / "celegans_herm_chem_gap.flag"

# Room above the child's mapped address space: from the reader's first buffers up to room for
# the whole call (about 1 million pairs, a few hundred MiB at its peak).
EXTRA_MIB = [4, 48, 96, 160, 2048]

# One child per limit: a thread's first C++ exception sets up per-thread data, and only in a
# fresh process is that first exception the one met with the memory exhausted.
UNDER_LIMIT = r"""
import hashlib, json, resource, sys
import numpy as np
import tolva

algorithm, form, extra_mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
sys.path.insert(0, {tests!r})
from test_out_of_memory import call, digest
triangle = np.zeros((3, 3), dtype=np.uint64)
triangle[0, 1] = triangle[0, 2] = triangle[1, 2] = 1
small = getattr(tolva, "compute_q_near_graph_" + algorithm)
expected_small = small(triangle, 0, 0, 1, 2)  # starts the workers
for line in open("/proc/self/status"):
    if line.startswith("VmSize:"):
        mapped = int(line.split()[1]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (mapped + (extra_mib << 20), resource.RLIM_INFINITY))
outcome = {{}}
try:
    outcome["digest"] = digest(call(algorithm, form))
except MemoryError:
    outcome["memory_error"] = True
except BaseException as error:
    outcome["other"] = type(error).__name__ + ": " + str(error)
try:
    outcome["next_right"] = small(triangle, 0, 0, 1, 2) == expected_small
except BaseException as error:
    outcome["next_other"] = type(error).__name__ + ": " + str(error)
print(json.dumps(outcome))
"""


def call(algorithm, form):
    """The call of the sweep: the gap-junction network at q = 2 up to dimension 3."""
    import numpy as np
    import tolva
    if form == "file":
        return getattr(tolva, f"compute_q_near_graph_{algorithm}_from_file")(str(GAP), 2, 0, 1, 3)
    lines = GAP.read_text().split("\n")
    n = len(lines[1].split())
    edges = np.array([line.split()[:2] for line in lines[3:] if line.strip()], dtype=np.int64)
    a = np.zeros((n, n), dtype=np.uint64)
    a[edges[:, 0], edges[:, 1]] = 1
    return getattr(tolva, f"compute_q_near_graph_{algorithm}")(a, 2, 0, 1, 3)


def digest(pairs):
    return hashlib.sha256(json.dumps(pairs).encode()).hexdigest()


@pytest.fixture(scope="module")
def expected_digests():
    return {algorithm: digest(call(algorithm, "file")) for algorithm in ("old", "new")}


@pytest.mark.parametrize("workers", ["1", "2"])
@pytest.mark.parametrize("form", ["matrix", "file"])
@pytest.mark.parametrize("algorithm", ["old", "new"])
def test_an_address_space_limit_gives_the_result_or_memory_error_and_the_next_call_works(
        algorithm, form, workers, expected_digests, capfd):
    code = UNDER_LIMIT.format(tests=str(pathlib.Path(__file__).parent))
    outcomes = []
    for extra_mib in EXTRA_MIB:
        result = subprocess.run([sys.executable, "-c", code, algorithm, form, str(extra_mib)], capture_output=True,
                                text=True, timeout=300, env=_python_env({"RAYON_NUM_THREADS": workers}))
        # An abort (for instance failing to set up thread-local data) ends the child with a signal.
        assert result.returncode == 0, (extra_mib, result.stderr[-3000:])
        outcome = json.loads(result.stdout.strip().splitlines()[-1])
        assert outcome.get("digest") == expected_digests[algorithm] or outcome.get("memory_error"), outcome
        assert outcome.get("next_right") is True, outcome
        outcomes.append(outcome)
    # The limits reach both ends: the tightest one fails, the widest one fits.
    assert outcomes[0].get("memory_error") is True
    assert outcomes[-1].get("digest") == expected_digests[algorithm]
    capfd.readouterr()


EXPLOSIVE = r"""
import json, resource
import numpy as np
import tolva

# 12 vertices, 113 of the 132 possible edges: the old algorithm at q = 2, i = 2, j = 1 up to
# dimension 5 attempts hundreds of millions of pairs.
n = 12
rng = np.random.default_rng(0)
off_diagonal = [(s, t) for s in range(n) for t in range(n) if s != t]
a = np.zeros((n, n), dtype=np.uint64)
for k in rng.choice(len(off_diagonal), 113, replace=False):
    a[off_diagonal[k]] = 1
outcome = {}
try:
    outcome["pairs"] = len(tolva.compute_q_near_graph_old(a, 2, 2, 1, 5))
except MemoryError as error:
    outcome["message"] = str(error)
outcome["peak_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
triangle = np.zeros((3, 3), dtype=np.uint64)
triangle[0, 1] = triangle[0, 2] = triangle[1, 2] = 1
outcome["next_call"] = tolva.compute_q_near_graph_new(triangle, 0, 0, 1, 2)[:3]
print(json.dumps(outcome))
"""

MESSAGE = re.compile(r"q-near graph needs about (\d+) bytes for (\d+) attempted pairs; (\d+) bytes available")


@pytest.mark.parametrize("available_gib", [2, 8])
def test_attempted_pairs_that_cannot_fit_are_refused_before_any_is_made(available_gib):
    available = available_gib << 30
    result = subprocess.run([sys.executable, "-c", EXPLOSIVE], capture_output=True, text=True, timeout=300,
                            env=_python_env({"TOLVA_AVAILABLE_MEMORY_BYTES": str(available)}))
    assert result.returncode == 0, result.stderr[-3000:]
    outcome = json.loads(result.stdout.strip().splitlines()[-1])
    match = MESSAGE.fullmatch(outcome.get("message", ""))
    assert match, outcome
    needed, attempts, room = map(int, match.groups())
    assert needed == 16 * attempts  # each attempted key, and its copy while repeats are dropped
    # All but the headroom, less what the call's complex and tables already hold.
    usable = available - max(available // 20, 256 << 20)
    assert usable - (64 << 20) <= room <= usable
    assert needed > room
    assert outcome["peak_kib"] < 1 << 20  # refused before the pairs were made
    assert outcome["next_call"] == [[3, 5], [3, 6], [6, 5]]


DISTINCT_MESSAGE = re.compile(r"q-near graph needs about (\d+) bytes for (\d+) distinct pairs \(estimated\) in the "
                              r"result; (\d+) bytes available")


def test_an_explosive_request_whose_list_cannot_fit_is_refused_in_seconds():
    # 20 GiB: its attempted pairs (about 9 GB in the stream) fit, their Python list does not.
    result = subprocess.run([sys.executable, "-c", EXPLOSIVE], capture_output=True, text=True, timeout=300,
                            env=_python_env({"TOLVA_AVAILABLE_MEMORY_BYTES": str(20 << 30)}))
    assert result.returncode == 0, result.stderr[-3000:]
    outcome = json.loads(result.stdout.strip().splitlines()[-1])
    match = DISTINCT_MESSAGE.fullmatch(outcome.get("message", ""))
    assert match, outcome
    needed, pairs, room = map(int, match.groups())
    assert needed > room and pairs > 100_000_000
    assert outcome["peak_kib"] < 1 << 20  # refused before the pairs were kept
    assert outcome["next_call"] == [[3, 5], [3, 6], [6, 5]]


# The new algorithm on chemical at q = 1 attempts 9,000,578 pairs, of which 5,439,954 are
# distinct: with 800 MiB available its attempts would not fit as a list, its distinct pairs
# do; with 600 MiB they do not either.
REPEATING = r"""
import json, sys
import tolva
try:
    print(json.dumps({"pairs": len(tolva.compute_q_near_graph_new_from_file(sys.argv[1], 1, 0, 1, 3))}))
except MemoryError as error:
    print(json.dumps({"message": str(error)}))
"""


@pytest.mark.parametrize("available_mib", [800, 600])
def test_the_distinct_pairs_not_the_attempts_decide_whether_a_list_fits(available_mib):
    result = subprocess.run([sys.executable, "-c", REPEATING, str(DATA / "celegans_herm_chemical.flag")],
                            capture_output=True, text=True, timeout=300,
                            env=_python_env({"TOLVA_AVAILABLE_MEMORY_BYTES": str(available_mib << 20)}))
    assert result.returncode == 0, result.stderr[-3000:]
    outcome = json.loads(result.stdout.strip().splitlines()[-1])
    if available_mib == 800:
        assert outcome == {"pairs": 5_439_954}
    else:
        match = DISTINCT_MESSAGE.fullmatch(outcome.get("message", ""))
        assert match, outcome
        # The estimate's lower bound: below the true count, and close to it.
        assert 0.9 * 5_439_954 <= int(match.group(2)) <= 5_439_954
