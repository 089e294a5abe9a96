"""The README's examples run as written."""

import contextlib
import os
import subprocess
import sys
import io
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
EXAMPLES = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example{k}" for k in range(len(EXAMPLES))])
def test_example_runs(code):
    with contextlib.redirect_stdout(io.StringIO()):
        exec(compile(code, str(README), "exec"), {})


def test_examples_type_check_strictly(tmp_path, request):
    """A user's mypy --strict sees the README's calls, Quantities and results as typed."""
    pytest.importorskip("mypy")
    for k, code in enumerate(EXAMPLES):
        (tmp_path / f"example{k}.py").write_text(code)
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    cache = getattr(request.config, "cache", None)
    cache_dir = cache.mkdir("mypy") if cache is not None else tmp_path / "mypy-cache"
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache_dir),
                           "--config-file", os.devnull, *sorted(map(str, tmp_path.glob("*.py")))],
                          capture_output=True, text=True, cwd=tmp_path, env=env, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
