"""What the source distribution carries: what a build needs, no build output."""

import os
import pathlib
import tarfile

import pytest

build = pytest.importorskip("scikit_build_core.build")
ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def sdist_files(tmp_path_factory):
    out = tmp_path_factory.mktemp("sdist")
    cwd = os.getcwd()
    os.chdir(ROOT)
    try:
        name = build.build_sdist(str(out))
    finally:
        os.chdir(cwd)
    with tarfile.open(out / name) as tar:
        # Paths inside the top folder velmora-<version>/.
        return {member.split("/", 1)[1] for member in tar.getnames() if "/" in member}


@pytest.mark.parametrize("path", [
    "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE",
    "velmora/__init__.py", "velmora/py.typed", "velmora/_velmora.cpp", "velmora/_velmora.pyi",
    "ensemble/_ensemble.cpp", "ensemble/_ensemble.pyi",
])
def test_sdist_has_what_a_build_needs(sdist_files, path):
    assert path in sdist_files


def test_sdist_has_no_build_output_or_benchmarks(sdist_files):
    unwanted = [f for f in sdist_files
                if f.startswith(("bench/", "build", "dist/", ".venv", ".ci/"))
                or f.endswith((".so", ".whl", ".o"))]
    assert unwanted == []
