"""Size of the worker pool, chosen once per process from the environment.

Every case runs in a fresh interpreter, since the pool is created at the
first enumeration of a process and never resized.  The worker count is seen
as the number of threads the first call adds to the process.
"""

import json
import math
import os
import textwrap

import pytest

POOL_VARS = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")
QUIET_LIBS = {
    "OPENBLAS_NUM_THREADS": "1",
    "OMP_NUM_THREADS": "1",
    "MKL_NUM_THREADS": "1",
    "NUMEXPR_NUM_THREADS": "1",
}

COUNT_THREADS = textwrap.dedent(
    """
    import json, os, sys
    import numpy as np
    import tolva

    def threads():
        return len(os.listdir("/proc/self/task"))

    m = np.zeros((4, 4), dtype=np.uint64)
    for r, c in [(0, 1), (0, 2), (1, 2), (2, 3), (1, 3)]:
        m[r, c] = 1
    before = threads()
    first = tolva.compute_q_near_graph_new(m, 0, 0, 1, 3)
    after_first = threads()
    {extra}
    second = tolva.compute_q_near_graph_old(m, 0, 0, 1, 3)
    after_second = threads()
    print(json.dumps({{"before": before, "first": after_first, "second": after_second,
                      "same": first == tolva.compute_q_near_graph_new(m, 0, 0, 1, 3)}}))
    """
)


def _read_uint(text):
    text = text.strip()
    if text.startswith("+"):
        text = text[1:]
    if not text or not text.isascii() or not text.isdigit():
        return None
    return int(text)


def _cgroup_quota():
    """CPU quota of this process's control group, rounded up; None if none."""
    try:
        with open("/proc/self/cgroup") as f:
            lines = [l.rstrip("\n") for l in f if l.strip()]
        with open("/proc/self/mountinfo") as f:
            mounts = [l.rstrip("\n").split(" ") for l in f]
    except OSError:
        return None
    entries = [l.split(":", 2) for l in lines if l.count(":") >= 2]
    chosen = None
    v1 = [e for e in entries if "cpu" in e[1].split(",")]
    if v1:
        version, chosen = 1, v1[-1][2]
    else:
        v2 = [e for e in entries if e[1] == ""]
        if not v2:
            return None
        version, chosen = 2, v2[0][2]
    mount = None
    for fields in mounts:
        if "-" not in fields:
            continue
        sep = fields.index("-")
        if len(fields) < sep + 4:
            continue
        fstype, options = fields[sep + 1], fields[sep + 3].split(",")
        if version == 1 and fstype == "cgroup" and "cpu" in options:
            mount = fields
            break
        if version == 2 and fstype == "cgroup2":
            mount = fields
            break
    if mount is None:
        return None
    root, point = mount[3], mount[4]
    if not chosen.startswith(root):
        return None
    directory = os.path.join(point, chosen[len(root):].lstrip("/"))
    try:
        if version == 1:
            with open(os.path.join(directory, "cpu.cfs_quota_us")) as f:
                quota = _read_uint(f.read())
            with open(os.path.join(directory, "cpu.cfs_period_us")) as f:
                period = _read_uint(f.read())
        else:
            with open(os.path.join(directory, "cpu.max")) as f:
                fields = f.readline().rstrip("\n").split(" ")
            if len(fields) < 2:
                return None
            quota, period = _read_uint(fields[0]), _read_uint(fields[1])
    except OSError:
        return None
    if quota is None or period is None or period == 0:
        return None
    return math.ceil(quota / period)


def cpu_count():
    logical = max(1, len(os.sched_getaffinity(0)))
    quota = _cgroup_quota()
    if quota is not None and quota > 0:
        return min(quota, logical)
    return logical


def pool_size(run_python, env, extra=""):
    proc = run_python(
        COUNT_THREADS.format(extra=extra),
        env={**QUIET_LIBS, **env},
        drop_env=POOL_VARS,
    )
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert out["same"]
    # Later calls reuse the pool.
    assert out["second"] == out["first"]
    return out["first"] - out["before"]


CPUS = cpu_count()

CASES = [
    ({"RAYON_NUM_THREADS": "1"}, 1),
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, 3),
    ({"RAYON_NUM_THREADS": "+2"}, 2),
    ({"RAYON_NUM_THREADS": "007"}, 7),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, CPUS),
    ({"RAYON_NUM_THREADS": "0"}, CPUS),
    ({"RAYON_NUM_THREADS": "four", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": " 2", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "2 ", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "2.0", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "0x2", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "++2", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_RS_NUM_CPUS": "+4"}, 4),
    ({"RAYON_RS_NUM_CPUS": "0"}, CPUS),
    ({"RAYON_RS_NUM_CPUS": "x"}, CPUS),
    ({"RAYON_RS_NUM_CPUS": " 4"}, CPUS),
    ({"RAYON_NUM_THREADS": "four", "RAYON_RS_NUM_CPUS": "four"}, CPUS),
    ({}, CPUS),
]


@pytest.mark.parametrize("env, expected", CASES, ids=lambda v: repr(v))
def test_worker_count_from_environment(run_python, env, expected):
    assert pool_size(run_python, env) == expected


def test_environment_read_only_once(run_python):
    extra = 'os.environ["RAYON_NUM_THREADS"] = "5"'
    assert pool_size(run_python, {"RAYON_NUM_THREADS": "2"}, extra=extra) == 2


@pytest.mark.parametrize(
    "setup, call",
    [
        ("m = np.zeros((0, 0), dtype=np.uint64)", "tolva.compute_q_near_graph_new(m, 0, 0, 1, 2)"),
        ("m = np.zeros((1, 1), dtype=np.uint64)", "tolva.compute_q_near_graph_old(m, 0, 0, 1, 2)"),
        ("m = np.zeros((5, 5), dtype=np.uint64)", "tolva.compute_q_near_graph_new(m, 3, 0, 1, 1)"),
    ],
    ids=["no vertices", "one vertex", "no simplices kept"],
)
def test_pool_created_even_for_trivial_ranges(run_python, setup, call):
    code = textwrap.dedent(
        f"""
        import os
        import numpy as np
        import tolva
        {setup}
        before = len(os.listdir("/proc/self/task"))
        assert {call} == []
        print(len(os.listdir("/proc/self/task")) - before)
        """
    )
    proc = run_python(code, env={**QUIET_LIBS, "RAYON_NUM_THREADS": "3"}, drop_env=POOL_VARS)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout.split()[-1]) == 3


def test_file_call_starts_the_pool(run_python, tmp_path):
    path = tmp_path / "g.flag"
    path.write_text("x\n0 0 0\ny\n0 1\n1 2\n")
    code = textwrap.dedent(
        f"""
        import os, sys
        import tolva
        before = len(os.listdir("/proc/self/task"))
        assert tolva.compute_q_near_graph_new_from_file({str(path)!r}, 0, 0, 1, 1)
        print(len(os.listdir("/proc/self/task")) - before, "numpy" in sys.modules)
        """
    )
    proc = run_python(code, env={"RAYON_NUM_THREADS": "2"}, drop_env=POOL_VARS)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["2", "False"]


def test_binding_failure_does_not_start_the_pool(run_python):
    code = textwrap.dedent(
        """
        import os
        import numpy
        import tolva
        before = len(os.listdir("/proc/self/task"))
        for call in (lambda: tolva.compute_q_near_graph_new(),
                     lambda: tolva.compute_q_near_graph_old([[0]], 0, 0, 1, 2),
                     lambda: tolva.compute_q_near_graph_new_from_file("/nonexistent/x.flag", 0, 0, 1, 2)):
            try:
                call()
            except BaseException:
                pass
        print(len(os.listdir("/proc/self/task")) - before)
        """
    )
    proc = run_python(code, env={**QUIET_LIBS, "RAYON_NUM_THREADS": "2"}, drop_env=POOL_VARS)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout.split()[-1]) == 0


RANDOM_GRAPH_RUN = textwrap.dedent(
    """
    import json
    import numpy as np
    import tolva
    rng = np.random.default_rng(11)
    n = 36
    m = (rng.random((n, n)) < 0.22).astype(np.uint64)
    np.fill_diagonal(m, 0)
    out = []
    for args in [(0, 0, 1, 3), (1, 0, 2, 4), (0, 1, 1, 2), (2, 3, 0, 5)]:
        out.append(tolva.compute_q_near_graph_new(m, *args))
        out.append(tolva.compute_q_near_graph_old(m, *args))
    print(json.dumps(out))
    """
)


def test_results_independent_of_worker_count(run_python):
    outputs = {}
    for count in ("1", "2", "3", "7"):
        proc = run_python(RANDOM_GRAPH_RUN, env={**QUIET_LIBS, "RAYON_NUM_THREADS": count},
                          drop_env=POOL_VARS)
        assert proc.returncode == 0, proc.stderr
        outputs[count] = json.loads(proc.stdout.strip().splitlines()[-1])
    assert all(outputs["1"])
    assert outputs["2"] == outputs["1"]
    assert outputs["3"] == outputs["1"]
    assert outputs["7"] == outputs["1"]


@pytest.mark.skipif(os.environ.get("TOLVA_TEST_HUGE_POOL") != "1",
                    reason="starts 65535 threads; set TOLVA_TEST_HUGE_POOL=1 to run")
def test_worker_count_capped(run_python):
    assert pool_size(run_python, {"RAYON_NUM_THREADS": "70000"}) == 65535


POOL_START_FAILURE = r"""
import resource
import numpy as np
import tolva
# Room for the interpreter, none for a thousand 8 MiB worker stacks.
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, resource.RLIM_INFINITY))
a = np.zeros((3, 3), dtype=np.uint64)
a[0, 1] = a[1, 2] = a[0, 2] = 1
for attempt in range(2):
    try:
        tolva.compute_q_near_graph_new(a, 0, 0, 1, 2)
        print("no failure")
    except BaseException as error:
        print(type(error).__name__, "|", str(error).split(":")[0])
"""


def test_a_pool_that_cannot_start_fails_every_parallel_call(run_python):
    result = run_python(POOL_START_FAILURE, env={"RAYON_NUM_THREADS": "1000"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "PanicException | The global thread pool has not been initialized.",
    ] * 2


FORKED_CHILD = r"""
import multiprocessing
import numpy as np
import tolva

a = np.ones((6, 6), dtype=np.uint64) - np.eye(6, dtype=np.uint64)

def work(_):
    return len(tolva.compute_q_near_graph_new(a, 0, 0, 1, 2))

expected = work(None)  # the pool is running before the fork
with multiprocessing.get_context("fork").Pool(2) as pool:
    print(pool.map(work, range(4)) == [expected] * 4, work(None) == expected)
"""


def test_forked_children_start_a_pool_of_their_own(run_python):
    # The workers of the parent do not exist in a forked child: it must not wait for them.
    result = run_python(FORKED_CHILD, env={"RAYON_NUM_THREADS": "2"}, timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["True", "True"]
