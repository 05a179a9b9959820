"""What the installed package exposes to the system: one exported symbol, and its type stubs."""
import pathlib
import shutil
import subprocess

import pytest

import tolva


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
def test_only_the_module_init_function_is_exported():
    listed = subprocess.run(["nm", "-D", "--defined-only", tolva.__file__], check=True, capture_output=True,
                            text=True).stdout.split("\n")
    assert [line.split()[-1] for line in listed if line.strip()] == ["PyInit_tolva"]


def test_stub_package_is_installed_beside_the_module():
    stub = pathlib.Path(tolva.__file__).parent / "tolva-stubs" / "__init__.pyi"
    assert stub.is_file()
    text = stub.read_text()
    for name in tolva.__all__:
        assert f"def {name}(" in text
