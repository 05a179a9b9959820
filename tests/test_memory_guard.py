"""A call whose result, or any large array on the way to it, would not fit in the memory the
process can still get raises MemoryError at once, and the interpreter goes on. The figure of
available memory is injected into a child (TOLVA_AVAILABLE_MEMORY_BYTES); the reading of
the control-group limit is tested with a faked group directory bound over the real one in a
mount namespace of the child's own, skipped where such a namespace cannot be made."""
import json
import pathlib
import shlex
import shutil
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest

import tolva
from conftest import _python_env

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"


def random_matrix(n, p, seed):
    rng = np.random.default_rng(seed)
    a = (rng.random((n, n)) < p).astype(np.uint64)
    np.fill_diagonal(a, 0)
    return a


# About 530,000 pairs (47 MB as Python objects): above the size from which requests are
# checked, small enough for any test machine.
MATRIX = "random_matrix(300, 0.14, 7)"
CALL = "tolva.compute_q_near_graph_old(a, 0, 0, 1, 1)"

CHILD = """
import json, sys
import numpy as np
import tolva
sys.path.insert(0, {tests!r})
from test_memory_guard import random_matrix
a = {matrix}
outcome = {{}}
try:
    outcome["pairs"] = len({call})
except MemoryError:
    outcome["memory_error"] = True
triangle = np.zeros((3, 3), dtype=np.uint64)
triangle[0, 1] = triangle[0, 2] = triangle[1, 2] = 1
outcome["next_call"] = tolva.compute_q_near_graph_new(triangle, 0, 0, 1, 2)[:3]
print(json.dumps(outcome))
"""


def run_with_binds(binds, code, timeout=120):
    """Runs `code` in a fresh interpreter whose private mount namespace has each
    (source, target) of `binds` bound; skips the test where that is not permitted."""
    if shutil.which("unshare") is None:
        pytest.skip("unshare is not available")
    mounts = " && ".join(f"mount --bind {shlex.quote(str(s))} {shlex.quote(str(t))}" for s, t in binds)
    # 77: a bind could not be made, which is no failure of tolva.
    script = mounts + ' || exit 77; exec "$0" -c "$1"'
    result = subprocess.run(["unshare", "-m", "sh", "-c", script, sys.executable, code], env=_python_env(),
                            capture_output=True, text=True, timeout=timeout)
    if result.returncode == 77 or "unshare failed" in result.stderr:
        pytest.skip("a private mount namespace cannot be made here: " + result.stderr.strip()[-200:])
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout.strip().splitlines()[-1])


def child(matrix=MATRIX, call=CALL):
    return CHILD.format(tests=str(pathlib.Path(__file__).parent), matrix=matrix, call=call)


def traced_result_bytes():
    """What the result of CALL holds as Python objects (bytes requested from the allocators,
    as tracemalloc counts them; each object takes a little more), and its pair count."""
    a = eval(MATRIX)
    tracemalloc.start()
    try:
        result = eval(CALL)
        held, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return held, len(result)


@pytest.fixture(scope="module")
def traced():
    return traced_result_bytes()


HEADROOM = 256 << 20  # what the guard keeps back at least


def run_with_available(available, code, timeout=120):
    """Runs `code` in a fresh interpreter whose guard sees `available` bytes."""
    result = subprocess.run([sys.executable, "-c", code], timeout=timeout, capture_output=True, text=True,
                            env=_python_env({"TOLVA_AVAILABLE_MEMORY_BYTES": str(available)}))
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout.strip().splitlines()[-1]), result.stderr


# The guard must count a pair as at least what the interpreter requests for it, and at most
# what the objects take once the allocator's size classes are counted (under a fifth more).
# The packed pairs (8 bytes each) are alive while the result is built and count too.
@pytest.mark.parametrize("fraction, fits", [(0.95, False), (1.2, True)])
def test_result_is_checked_against_its_measured_size(traced, fraction, fits):
    held, pairs = traced
    assert held > 16 << 20  # large enough to be checked
    outcome, _ = run_with_available(HEADROOM + 8 * pairs + int(held * fraction), child())
    assert outcome.get("pairs") == (pairs if fits else None)
    assert outcome.get("memory_error", False) is not fits
    assert outcome["next_call"] == [[3, 5], [3, 6], [6, 5]]


def test_huge_result_of_the_gap_junction_network_raises_memory_error_at_once():
    # 377 million pairs, about 33 GB as Python objects; with 2 GiB available the pair set
    # itself is refused long before the result.
    call = f"tolva.compute_q_near_graph_old_from_file({str(DATA / 'celegans_herm_chem_gap.flag')!r}, 5, 0, 1, 7)"
    outcome, _ = run_with_available(2 << 30, child(call=call))
    assert outcome == {"memory_error": True, "next_call": [[3, 5], [3, 6], [6, 5]]}


def own_memory_group():
    """(mount point, group path below it, version) of this process's memory control group,
    or None where its mount root is not "/" (then a faked directory could not stand in)."""
    lines = pathlib.Path("/proc/self/cgroup").read_text().splitlines()
    v1 = [line.split(":", 2) for line in lines if "memory" in line.split(":")[1].split(",")]
    v2 = [line.split(":", 2) for line in lines if line.split(":")[1] == ""]
    version, path = (1, v1[-1][2]) if v1 else (2, v2[0][2]) if v2 else (None, None)
    for mount in pathlib.Path("/proc/self/mountinfo").read_text().splitlines():
        fields = mount.split(" ")
        after = fields.index("-") + 1
        matches = (fields[after] == "cgroup2") if version == 2 else (
            version == 1 and fields[after] == "cgroup" and "memory" in fields[after + 2].split(","))
        if matches:
            return (fields[4], path.lstrip("/"), version) if fields[3] == "/" else None
    return None


@pytest.mark.parametrize("limited, fits", [(False, True), (True, False)])
def test_control_group_limit_is_part_of_the_available_memory(tmp_path, traced, limited, fits, capfd):
    group = own_memory_group()
    if group is None:
        pytest.skip("no memory control group with a mount root of / here")
    mount_point, path, version = group
    held, pairs = traced
    directory = tmp_path / "cgroup" / path
    directory.mkdir(parents=True)
    limit, usage = ("memory.max", "memory.current") if version == 2 else ("memory.limit_in_bytes",
                                                                         "memory.usage_in_bytes")
    usage_bytes = 5 * held // 2
    # Limited, the group leaves the headroom and room for half the result.
    (directory / limit).write_text(f"{usage_bytes + HEADROOM + held // 2}\n" if limited else (
        "max\n" if version == 2 else "9223372036854771712\n"))
    (directory / usage).write_text(f"{usage_bytes}\n")
    outcome = run_with_binds([(tmp_path / "cgroup", mount_point)], child())
    assert outcome.get("pairs") == (pairs if fits else None)
    assert outcome.get("memory_error", False) is not fits
    capfd.readouterr()
