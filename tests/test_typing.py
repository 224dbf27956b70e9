"""The installed type stubs: mypy finds them, accepts typed use with NumPy arrays,
refuses wrong argument types, and the typed example runs."""

import os
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).parent / "typing" / "example.py"
PLUS_EXAMPLE = Path(__file__).parent / "typing" / "plus_example.py"


@pytest.mark.parametrize("example", [EXAMPLE, PLUS_EXAMPLE], ids=["vendrel", "vendrel_plus"])
def test_mypy_checks_the_typed_example_against_the_stubs(tmp_path, example):
    # --warn-unused-ignores turns each "type: ignore" of a refused call into an error
    # when the stubs are not found or accept the call.
    env = {name: value for name, value in os.environ.items() if name not in ("LD_PRELOAD", "PYTHONMALLOC")}
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--warn-unused-ignores", "--cache-dir", str(tmp_path / "cache"),
         str(example)],
        cwd=tmp_path, env=env, capture_output=True, text=True)
    assert checked.returncode == 0, checked.stdout + checked.stderr


@pytest.mark.parametrize("example", [EXAMPLE, PLUS_EXAMPLE], ids=["vendrel", "vendrel_plus"])
def test_the_typed_example_runs(tmp_path, example):
    runpy.run_path(str(example))["main"](str(tmp_path / "db"))
