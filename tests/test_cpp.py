"""Builds the C++ test program of the core (graph, reader, CPU quota, pool, complex, index,
result graph) with CMake and runs it, one pytest case per C++ suite."""
import json
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "cpp-tests"
SUITES = sorted(p.stem[len("test_"):] for p in (ROOT / "tests" / "cpp").glob("test_*.cpp"))


@pytest.fixture(scope="module")
def cpp_tests():
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.fail("cmake is needed to build the C++ tests (pip install '.[test]' provides it)")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(
        [cmake, "-S", str(ROOT), "-B", str(BUILD), *generator, "-DTOLVA_PYTHON_MODULE=OFF",
         "-DTOLVA_BUILD_TESTS=ON", "-DCMAKE_BUILD_TYPE=Release",
         "-DTOLVA_WERROR=" + os.environ.get("TOLVA_WERROR", "OFF")],
        check=True, capture_output=True)
    built = subprocess.run([cmake, "--build", str(BUILD), "--parallel", "2"], capture_output=True, text=True)
    assert built.returncode == 0, built.stdout + built.stderr
    return BUILD / "tolva_cpp_tests"


def test_every_suite_file_registers_tests(cpp_tests):
    listed = subprocess.run([cpp_tests, "--list"], check=True, capture_output=True, text=True).stdout.split()
    assert {name.split("::")[0] for name in listed} == set(SUITES)


@pytest.mark.parametrize("suite", SUITES)
def test_cpp_suite(cpp_tests, suite):
    result = subprocess.run([cpp_tests, suite + "::"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr[-4000:]


@pytest.mark.parametrize("workers", ["1", "2", "5"])
@pytest.mark.parametrize("suite", ["complex", "worker_pool", "q_near_graph"])
def test_cpp_suite_with_other_worker_counts(cpp_tests, suite, workers):
    env = dict(os.environ, RAYON_NUM_THREADS=workers)
    result = subprocess.run([cpp_tests, suite + "::"], capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stdout + result.stderr[-4000:]


DATA = ROOT / "data"
FLAGSER_EXPECTED = json.loads((DATA / "flagser_tests" / "expected.json").read_text())
# Simplex counts per dimension of the C. elegans hermaphrodite networks, checked by two
# independent counters (see data/README.md).
CELEGANS_EXPECTED = {
    "celegans_herm_chemical.flag": [448, 4647, 14324, 22904, 27602, 30437, 26234, 13653, 2699],
    "celegans_herm_chem_gap.flag": [448, 6585, 33073, 104106, 276936, 630420, 1071522, 1217863, 886540,
                                    348281, 32340],
}


def simplex_counts(program, path):
    result = subprocess.run([program, "--count", str(path)], check=True, capture_output=True, text=True)
    return [int(word) for word in result.stdout.split()]


@pytest.mark.parametrize("name", sorted(p.stem for p in (DATA / "flagser_tests").glob("*.flag")))
def test_known_simplex_counts_of_small_graphs(cpp_tests, name):
    expected = FLAGSER_EXPECTED[name]
    counts = simplex_counts(cpp_tests, DATA / "flagser_tests" / f"{name}.flag")
    assert counts == expected["cell_counts_by_dim"]
    assert counts[:2] == [expected["vertices"], expected["edges"]]


@pytest.mark.parametrize("name", sorted(CELEGANS_EXPECTED))
def test_known_simplex_counts_of_the_celegans_networks(cpp_tests, name):
    assert simplex_counts(cpp_tests, DATA / name) == CELEGANS_EXPECTED[name]


# The flagser medium test graph (31,346 vertices, too large to keep a copy here) from the
# shared data beside the repository, where there is one.
MEDIUM = ROOT.parent / "shared" / "data" / "flagser_tests" / "medium-test-data.flag"


@pytest.mark.skipif(not MEDIUM.is_file(), reason="no shared test data beside the repository")
@pytest.mark.parametrize("workers", ["1", "2"])
def test_known_simplex_counts_of_the_medium_test_graph(cpp_tests, workers):
    expected = FLAGSER_EXPECTED["medium-test-data"]
    result = subprocess.run([cpp_tests, "--count", str(MEDIUM)], check=True, capture_output=True, text=True,
                            env=dict(os.environ, RAYON_NUM_THREADS=workers))
    counts = [int(word) for word in result.stdout.split()]
    assert counts == expected["cell_counts_by_dim"]
    assert counts[:2] == [expected["vertices"], expected["edges"]]
