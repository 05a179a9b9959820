"""tolva_arrays while it runs: worker counts, interrupts, other threads, progress, errors.

Interrupts and threads are watched in fresh interpreters, so that a failure cannot leave
signal handlers or running work behind in the test process.
"""

import json
import os
import sys
import textwrap

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import test_differential as differential  # noqa: E402
from reference import flag_text  # noqa: E402

from tolva_arrays import DirectedFlagComplex  # noqa: E402

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
CHEMICAL = os.path.join(DATA, "celegans_herm_chemical.flag")

# A complete multipartite DAG of 20 parts of 3 vertices: 4**20 cliques, none of more than 20
# vertices. With q = 20 the enumeration walks them all and stores nothing: it runs for hours
# in constant memory, so only an interrupt ends it.
ENDLESS_GRAPH = """
import numpy as np
part = np.arange(60) // 3
ENDLESS = part[:, None] < part[None, :]
"""


def run_script(run_python, code, workers="2", timeout=300):
    done = run_python(code, env={"RAYON_NUM_THREADS": workers}, timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stderr == ""  # nothing of tolva_arrays reaches standard error
    return json.loads(done.stdout.strip().splitlines()[-1])


# ------------------------------------------------------------------ worker counts

EQUIVALENCE_SCRIPT = """
import json, pathlib
import numpy as np
import scipy.sparse
import tolva, tolva_arrays

def forms(n, edges, path):
    a = np.zeros((n, n), dtype=np.uint64)
    for s, t in edges:
        a[s, t] = 1
    yield a, a
    yield a, a.astype(np.float32) * 3
    yield a, scipy.sparse.coo_matrix(a)
    yield a, (n, np.array(edges + edges[:5], dtype=np.int32).reshape(-1, 2))
    yield a, pathlib.Path(path)

out = []
for n, edges, q, i, j, max_dim, path in json.loads(CASES):
    for a, form in forms(n, edges, path):
        complex_ = tolva_arrays.DirectedFlagComplex(form, q, max_dim)
        for kind in ("old", "new"):
            pairs = complex_.q_near_graph(kind, i, j).tolist()
            listed = getattr(tolva, "compute_q_near_graph_" + kind)(a, q, i, j, max_dim)
            out.append([pairs == listed, len(pairs)])
complex_ = tolva_arrays.DirectedFlagComplex(CHEMICAL, 2, 3)
for kind in ("old", "new"):
    pairs = complex_.q_near_graph(kind, 0, 1).tolist()
    out.append([pairs == getattr(tolva, "compute_q_near_graph_" + kind + "_from_file")(CHEMICAL, 2, 0, 1, 3),
                len(pairs)])
print(json.dumps(out))
"""


@pytest.mark.parametrize("workers", ["1", "2", "7"])
def test_every_input_form_matches_the_list_functions_at_any_worker_count(run_python, workers, tmp_path):
    cases = []
    for number, (n, edges, q, i, j, max_dim) in enumerate(differential.worker_cases()):
        path = tmp_path / f"case{number}.flag"
        path.write_text(flag_text(n, edges))
        cases.append((n, edges, q, i, j, max_dim, str(path)))
    code = f"CASES = {json.dumps(cases)!r}\nCHEMICAL = {CHEMICAL!r}\n" + EQUIVALENCE_SCRIPT
    done = run_python(code, env={"RAYON_NUM_THREADS": workers}, timeout=300)
    assert done.returncode == 0, done.stderr
    outcomes = json.loads(done.stdout.strip().splitlines()[-1])
    assert outcomes and all(same for same, _ in outcomes)
    assert sum(count for _, count in outcomes) > 100000  # the cases give the workers something to share
    # The list functions' report lines are all that reaches standard error.
    assert all(line.startswith("[src/tolva/") for line in done.stderr.splitlines())


# ------------------------------------------------------------------ interrupts

# SIGINT is sent by the progress callable once the stage under test has begun, so that it
# falls inside that stage; the call must end in KeyboardInterrupt, leave no thread of its own
# running, and the next call must work.
INTERRUPT_IMPORTS = """
import json, os, signal, threading, time
import tolva_arrays
"""
INTERRUPT_SCRIPT = """
def threads():
    return len(os.listdir("/proc/self/task"))

warm_up = tolva_arrays.DirectedFlagComplex(ENDLESS, 2, 3)  # starts the worker pool
baseline = threads()
stages = []

def progress(stage, done, total):
    stages.append(stage)
    if stage == STAGE and stages.count(stage) == 1:
        os.kill(os.getpid(), signal.SIGINT)

outcome = "completed"
try:
    start_call(progress)
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
cleanup()
# A joined thread can stay listed for a moment while the kernel reaps it: wait up to a second.
for _ in range(100):
    if threads() <= baseline:
        break
    time.sleep(0.01)
after = threads()
again = tolva_arrays.DirectedFlagComplex(ENDLESS, 2, 3).counts.tolist()
print(json.dumps({"outcome": outcome, "stage": stages[-1] if stages else None, "threads": [baseline, after],
                  "again": again == warm_up.counts.tolist()}))
"""

STAGE_CALLS = {
    # A FIFO fed one edge line at a time, for ever: reading never ends by itself.
    "reading": """
import tempfile, time
fifo = os.path.join(tempfile.mkdtemp(), "graph.flag")
os.mkfifo(fifo)
def feed():
    try:
        with open(fifo, "w") as sink:
            sink.write("dim 0\\n" + "0 " * 10 + "\\ndim 1\\n")
            while True:
                sink.write("0 1\\n")
                sink.flush()
                time.sleep(0.002)
    except BrokenPipeError:
        pass
feeder = threading.Thread(target=feed)
feeder.start()
def start_call(progress):
    tolva_arrays.DirectedFlagComplex(fifo, 0, progress=progress)
def cleanup():
    feeder.join()
""",
    "enumeration": """
def start_call(progress):
    tolva_arrays.DirectedFlagComplex(ENDLESS, 20, progress=progress)
def cleanup():
    pass
""",
    # The index of a small complex is built in milliseconds: the call is held at the start of
    # the stage until it is cancelled, so that the signal cannot land after it.
    "index": """
def start_call(progress):
    os.environ["TOLVA_HOLD_STAGE"] = "index"
    try:
        tolva_arrays.DirectedFlagComplex(CHEMICAL, 3, 5, progress=progress)
    finally:
        del os.environ["TOLVA_HOLD_STAGE"]
def cleanup():
    pass
""",
    # About a second of pair work on this machine (7 million pairs), a few hundred MB.
    "algorithm": """
complex_ = tolva_arrays.DirectedFlagComplex(CHEMICAL, 3, 5)
def start_call(progress):
    complex_.q_near_graph("old", 0, 1, progress=progress)
def cleanup():
    pass
""",
}


@pytest.mark.parametrize("stage", sorted(STAGE_CALLS))
def test_sigint_interrupts_every_stage_and_the_next_call_works(run_python, stage):
    code = (f"STAGE = {stage!r}\nCHEMICAL = {CHEMICAL!r}\n" + ENDLESS_GRAPH + INTERRUPT_IMPORTS +
            textwrap.dedent(STAGE_CALLS[stage]) + INTERRUPT_SCRIPT)
    done = run_python(code, env={"RAYON_NUM_THREADS": "2"}, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stderr == ""
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result["outcome"] == "KeyboardInterrupt" and result["stage"] == stage
    baseline, after = result["threads"]
    assert after <= baseline  # the call's own thread is gone (a reading feeder has ended too)
    assert result["again"]


def test_an_exception_of_the_progress_callable_cancels_the_call_and_goes_on(run_python):
    code = ENDLESS_GRAPH + textwrap.dedent("""
    import json, os
    import tolva_arrays

    class Enough(Exception):
        pass

    seen = []
    def progress(stage, done, total):
        seen.append(stage)
        raise Enough(stage)

    try:
        tolva_arrays.DirectedFlagComplex(ENDLESS, 20, progress=progress)
        outcome = "completed"
    except Enough as error:
        outcome = str(error)
    print(json.dumps([outcome, seen, tolva_arrays.DirectedFlagComplex(ENDLESS, 1, 2).counts.tolist()]))
    """)
    outcome, seen, counts = run_script(run_python, code)
    assert outcome == "enumeration" and seen == ["enumeration"]
    assert counts == [190 * 9, 1140 * 27]  # pairs and triples of parts, one vertex of each


# ------------------------------------------------------------------ threads

def test_other_threads_run_while_a_call_works(run_python):
    # The call only ends when the main thread has counted to 200 meanwhile: were the
    # interpreter lock held through the call, this would never finish (the run's timeout).
    code = ENDLESS_GRAPH + textwrap.dedent("""
    import json, threading, time
    import tolva_arrays

    ticks = 0
    class Stop(Exception):
        pass
    def progress(stage, done, total):
        if ticks >= 200:
            raise Stop()

    started = threading.Event()
    outcome = []
    def call():
        started.set()
        try:
            tolva_arrays.DirectedFlagComplex(ENDLESS, 20, progress=progress)
        except Stop:
            outcome.append("stopped")
    worker = threading.Thread(target=call)
    worker.start()
    started.wait()
    while worker.is_alive():
        ticks += 1
        time.sleep(0.001)
    worker.join()
    print(json.dumps([outcome, ticks >= 200]))
    """)
    assert run_script(run_python, code, timeout=120) == [["stopped"], True]


def test_the_interpreter_exits_cleanly_while_a_daemon_thread_is_in_a_call(run_python):
    # The interpreter ends such a thread by unwinding it; the call's work must be stopped on
    # the way instead of aborting the process.
    code = ENDLESS_GRAPH + textwrap.dedent("""
    import threading, time
    import tolva_arrays
    started = threading.Event()
    def call():
        started.set()
        tolva_arrays.DirectedFlagComplex(ENDLESS, 20)
    threading.Thread(target=call, daemon=True).start()
    started.wait()
    time.sleep(0.3)
    print("exiting")
    """)
    done = run_python(code, env={"RAYON_NUM_THREADS": "2"}, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "exiting\n", "")


def test_concurrent_calls_on_one_complex_agree(run_python):
    code = f"CHEMICAL = {CHEMICAL!r}\n" + textwrap.dedent("""
    import json, threading
    import numpy as np
    import tolva_arrays

    complex_ = tolva_arrays.DirectedFlagComplex(CHEMICAL, 2, 4)
    requests = [(kind, i, j) for kind in ("old", "new") for i, j in ((0, 1), (2, 3), (1, 1))]
    alone = {request: complex_.q_near_graph(*request) for request in requests}
    together = {}
    def ask(request):
        together[request] = complex_.q_near_graph(*request)
    threads = [threading.Thread(target=ask, args=(request,)) for request in requests]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(json.dumps([bool(np.array_equal(alone[r], together[r])) for r in requests] +
                     [sum(len(pairs) for pairs in alone.values())]))
    """)
    *same, total = run_script(run_python, code)
    assert all(same) and len(same) == 6 and total > 1000000


# ------------------------------------------------------------------ progress

def test_progress_reports_the_stages_in_order_on_the_calling_thread(run_python):
    code = ENDLESS_GRAPH + f"CHEMICAL = {CHEMICAL!r}\n" + textwrap.dedent("""
    import json, threading, time
    import tolva_arrays

    calls = []
    def progress(stage, done, total):
        calls.append((stage, done, total, threading.get_ident(), time.monotonic()))

    complex_ = tolva_arrays.DirectedFlagComplex(CHEMICAL, 3, 5, progress=progress)
    complex_.q_near_graph("old", 0, 1, progress=progress)
    order = ["reading", "enumeration", "index", "algorithm"]
    stages = [call[0] for call in calls]
    print(json.dumps({
        "stages_known": all(stage in order for stage in stages),
        "in_order": [order.index(s) for s in stages] == sorted(order.index(s) for s in stages),
        "saw_algorithm": "algorithm" in stages,
        "done_within_total": all(0 <= done <= total for _, done, total, _, _ in calls if total),
        "calling_thread": all(call[3] == threading.get_ident() for call in calls),
        "gaps": [b[4] - a[4] for a, b in zip(calls, calls[1:])],
    }))
    """)
    result = run_script(run_python, code)
    assert result["stages_known"] and result["in_order"] and result["saw_algorithm"]
    assert result["done_within_total"] and result["calling_thread"]
    # At most ten calls a second. The gaps are read inside the callable, after the interpreter
    # lock was taken again, whose delay varies from call to call: allow a tenth of that.
    assert all(gap >= 0.09 for gap in result["gaps"])


# ------------------------------------------------------------------ errors

GRAPH = np.array([[0, 1, 1], [0, 0, 1], [0, 0, 0]], dtype=np.uint8)


@pytest.mark.parametrize("graph,q,error,message", [
    (np.zeros((2, 3)), 0, ValueError, "must be square, not of shape (2, 3)"),
    (np.zeros(4), 0, ValueError, "must be square, not of shape (4,)"),
    (np.eye(3), 0, ValueError, "self-loop at vertex 0"),
    (np.array([["a", "b"], ["c", "d"]]), 0, TypeError, "integer, bool or float dtype"),
    (np.zeros((2, 2), dtype=complex), 0, TypeError, "integer, bool or float dtype"),
    ((3, np.array([[0, 1], [1, 3]])), 0, ValueError, "vertex 3 is out of range for a graph of 3 vertices"),
    ((3, np.array([[0, 1], [-1, 2]])), 0, ValueError, "vertex -1 is out of range"),
    ((3, np.array([[0, 1], [2, 2]])), 0, ValueError, "self-loop at vertex 2"),
    ((3, np.array([0, 1, 2])), 0, ValueError, "edges must be an (m, 2) array"),
    ((3, np.array([[0.0, 1.0]])), 0, TypeError, "edges must have an integer dtype"),
    ((-1, np.empty((0, 2), dtype=int)), 0, ValueError, "vertex_count must be a non-negative integer"),
    ([[0, 1], [0, 0]], 0, TypeError, "not 'list'"),
    (None, 0, TypeError, "not 'NoneType'"),
    (GRAPH, -1, ValueError, "q must be an integer from 0 to 2**64 - 1"),
    (GRAPH, 1.5, TypeError, "integer"),
])
def test_unusable_graphs_and_numbers_raise_ordinary_exceptions(graph, q, error, message, capfd):
    with pytest.raises(error) as raised:
        DirectedFlagComplex(graph, q)
    assert message in str(raised.value)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("text,error,message", [
    ("dim 0\n0 0 0\ndim 1\n0 7\n", ValueError, "from out of bounds: 7 >= 3"),
    ("dim 0\n0 0 0\ndim 1\nx 1\n", ValueError, "File Parsing failed: ParseIntError { kind: InvalidDigit }"),
    ("one line\n", ValueError, "File Parsing failed"),
    (b"dim 0\n0 \xff\n", ValueError, "stream did not contain valid UTF-8"),
])
def test_file_failures_carry_the_file_functions_messages(text, error, message, tmp_path, capfd):
    path = tmp_path / "bad.flag"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(error) as raised:
        DirectedFlagComplex(path, 0)
    assert message in str(raised.value)
    assert capfd.readouterr().err == ""


def test_files_that_cannot_be_opened_or_read_raise_os_errors(tmp_path):
    with pytest.raises(FileNotFoundError) as missing:
        DirectedFlagComplex(tmp_path / "missing.flag", 0)
    assert "could not find .flag input file: Os { code: 2, kind: NotFound" in str(missing.value)
    assert missing.value.errno == 2
    with pytest.raises(IsADirectoryError) as directory:
        DirectedFlagComplex(str(tmp_path), 0)
    assert "File Parsing failed: Os { code: 21" in str(directory.value)


@pytest.mark.parametrize("call,error,message", [
    (lambda c: c.q_near_graph("older", 0, 1), ValueError, "algorithm must be 'old' or 'new', not 'older'"),
    (lambda c: c.q_near_graph(b"old", 0, 1), TypeError, "algorithm must be a str"),
    (lambda c: c.q_near_graph("old", 3, 1), ValueError, "i = 3 is above q + 1 = 2"),
    (lambda c: c.q_near_graph("new", 0, 4), ValueError, "j = 4 is above q + 1 = 2"),
    (lambda c: c.q_near_graph("new", -1, 0), ValueError, "i must be an integer from 0 to 2**64 - 1"),
    (lambda c: c.simplices(0), ValueError, "dimension 0 is below q = 1"),
    (lambda c: c.first_position(0), ValueError, "dimension 0 is below q = 1"),
    (lambda c: c.simplices(2**40), ValueError, "too large for a simplex"),
])
def test_bad_requests_raise_ordinary_exceptions(call, error, message):
    complex_ = DirectedFlagComplex(GRAPH, 1)
    with pytest.raises(error) as raised:
        call(complex_)
    assert message in str(raised.value)


def test_a_progress_that_cannot_be_called_is_refused_before_any_work():
    with pytest.raises(TypeError, match="progress must be None or a callable"):
        DirectedFlagComplex(GRAPH, 0, progress=1)
    with pytest.raises(TypeError, match="progress must be None or a callable"):
        DirectedFlagComplex(GRAPH, 0).q_near_graph("old", 0, 1, progress="bar")


def test_face_positions_are_not_checked_where_no_q_plus_one_simplex_exists():
    complex_ = DirectedFlagComplex(GRAPH, 2)  # one triangle, nothing above it
    assert complex_.q_near_graph("old", 9, 9).shape == (0, 2)


def test_a_graph_too_large_to_number_raises_memory_error():
    with pytest.raises(MemoryError):
        DirectedFlagComplex((2**33, np.empty((0, 2), dtype=np.int64)), 0)
