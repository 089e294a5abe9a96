"""The type stubs describe the compiled modules as they are."""

import ast
import os
import pathlib
import re
import subprocess
import sys

import pytest

import _ensemble
import _velmora

from velmora import _radar

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUBS = {_velmora: ROOT / "velmora" / "_velmora.pyi", _ensemble: ROOT / "ensemble" / "_ensemble.pyi",
         _radar: ROOT / "velmora" / "_radar.pyi"}


def test_stubtest_finds_no_difference(tmp_path):
    env = dict(os.environ, MYPYPATH=os.pathsep.join(str(p.parent) for p in STUBS.values()))
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_velmora", "_ensemble",
                           "--mypy-config-file", os.devnull],
                          capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def stub_functions(module):
    tree = ast.parse(STUBS[module].read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


@pytest.mark.parametrize("module", STUBS, ids=lambda m: m.__name__)
def test_every_function_has_the_runtime_names_defaults_and_a_docstring(module):
    functions = stub_functions(module)
    runtime = [n for n in vars(module) if not n.startswith("_")]
    assert sorted(functions) == sorted(runtime)
    for name, node in functions.items():
        # The signature line that the binding generates: name(arg: type, ... = default) -> type
        line = getattr(module, name).__doc__.splitlines()[0]
        names = re.findall(r"(?:\(|, )(\w+): ", line)
        defaults = re.findall(r"(\w+): [^,]*= (\w+)", line)
        assert [a.arg for a in node.args.args] == names
        stub_defaults = [ast.literal_eval(d) for d in node.args.defaults]
        assert [(a, int(v)) for a, v in defaults] == list(
            zip(names[len(names) - len(stub_defaults):], stub_defaults))
        doc = ast.get_docstring(node)
        assert doc and "Returns" in doc and "n_threads" in doc or name == "words"


def test_module_docstrings_stay_as_they_are():
    assert ast.get_docstring(ast.parse(STUBS[_velmora].read_text())) == _velmora.__doc__
    assert ast.get_docstring(ast.parse(STUBS[_ensemble].read_text())) == _ensemble.__doc__
