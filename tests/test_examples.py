"""The documentation cannot rot: every example script and every Python block of the README
runs, and prints what it promises."""
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

pytest.importorskip("matplotlib")
pytest.importorskip("networkx")
pytest.importorskip("scipy")


def run(arguments, cwd):
    return subprocess.run([sys.executable, *arguments], cwd=cwd, capture_output=True, text=True, timeout=600)


# Each example with a line its output must contain.
EXPECTED_OUTPUT = {
    "typical_request.py": "from triangle.flag: [[3, 5], [3, 6], [6, 5]",
    "from_edge_list.py": "all forms agree",
    "celegans_q_analysis.py": "wrote celegans_q_analysis.png",
}


def test_every_example_is_checked():
    assert {path.name for path in EXAMPLES.glob("*.py")} == set(EXPECTED_OUTPUT)


@pytest.mark.parametrize("name", sorted(EXPECTED_OUTPUT))
def test_example_runs(name, tmp_path):
    result = run([str(EXAMPLES / name)], cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-3000:]
    assert EXPECTED_OUTPUT[name] in result.stdout


def test_celegans_example_reports_components_and_writes_its_plot(tmp_path):
    result = run([str(EXAMPLES / "celegans_q_analysis.py")], cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-3000:]
    rows = re.findall(r"^q=(\d): (\d+) simplices, (\d+) pairs, (\d+) q-connected components", result.stdout, re.M)
    assert [int(row[0]) for row in rows] == list(range(7))
    # Known sizes of the chemical network: 448 vertices and 4647 edges make the q = 0 positions.
    assert rows[0][1] == str(448 + 4647)
    assert (tmp_path / "celegans_q_analysis.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def readme_python_blocks():
    return re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.DOTALL)


@pytest.mark.parametrize("index", range(len(readme_python_blocks())))
def test_readme_python_block_runs(index):
    result = run(["-c", readme_python_blocks()[index]], cwd=ROOT)
    assert result.returncode == 0, readme_python_blocks()[index] + result.stderr[-3000:]
