import os
import subprocess
import sys

import pytest


def _python_env(extra=None, drop=()):
    env = dict(os.environ)
    for name in drop:
        env.pop(name, None)
    # Make a freshly started interpreter find the same tolva as this one.
    try:
        import tolva

        here = os.path.dirname(os.path.abspath(tolva.__file__))
        env["PYTHONPATH"] = os.pathsep.join(
            p for p in (here, env.get("PYTHONPATH")) if p
        )
    except ImportError:
        pass
    env.update(extra or {})
    return env


@pytest.fixture
def run_python():
    """Run a snippet in a fresh interpreter; returns the CompletedProcess.

    Process-wide state of the module (the once-initialised module object,
    the NumPy interface, the worker pool) can only be observed from a
    process of its own.
    """

    def run(code, env=None, drop_env=(), args=(), timeout=120):
        return subprocess.run(
            [sys.executable, *args, "-c", code],
            env=_python_env(env, drop_env),
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run
