"""Size of the worker pool, chosen once per process from the environment.

Every case runs in a fresh interpreter, since the pool is created at the
first enumeration of a process and never resized.  The worker count is seen
as the number of threads the first call adds to the process.
"""

import json
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
    # The CPUs this process may use, when the case sets them; the pool is sized on first use.
    if {cpus}:
        os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:{cpus}])
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


def pool_size(run_python, env, extra="", cpus=0):
    proc = run_python(
        COUNT_THREADS.format(extra=extra, cpus=cpus),
        env={**QUIET_LIBS, **env},
        drop_env=POOL_VARS,
    )
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert out["same"]
    # Later calls reuse the pool.
    assert out["second"] == out["first"]
    return out["first"] - out["before"]


# "machine": the variables leave the choice to the CPU count, which the child restricts to one
# CPU (or two) by its affinity mask, so that the expected count does not depend on this machine.
CASES = [
    ({"RAYON_NUM_THREADS": "1"}, 1),
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, 3),
    ({"RAYON_NUM_THREADS": "+2"}, 2),
    ({"RAYON_NUM_THREADS": "007"}, 7),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, "machine"),
    ({"RAYON_NUM_THREADS": "0"}, "machine"),
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
    ({"RAYON_RS_NUM_CPUS": "0"}, "machine"),
    ({"RAYON_RS_NUM_CPUS": "x"}, "machine"),
    ({"RAYON_RS_NUM_CPUS": " 4"}, "machine"),
    ({"RAYON_NUM_THREADS": "four", "RAYON_RS_NUM_CPUS": "four"}, "machine"),
    ({}, "machine"),
]



@pytest.mark.parametrize("env, expected", CASES, ids=lambda v: repr(v))
def test_worker_count_from_environment(run_python, env, expected):
    if expected == "machine":
        assert pool_size(run_python, env, cpus=1) == 1
    else:
        assert pool_size(run_python, env) == expected


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
@pytest.mark.parametrize("env", [{}, {"RAYON_NUM_THREADS": "0"}, {"RAYON_RS_NUM_CPUS": "x"}], ids=repr)
def test_worker_count_follows_the_affinity_mask(run_python, env):
    assert pool_size(run_python, env, cpus=2) == 2


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
