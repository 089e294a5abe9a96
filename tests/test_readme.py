"""The README's examples run as written."""

import contextlib
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
