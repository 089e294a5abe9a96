# Set-up and entry points.  Every target builds its own virtual environment
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
SOURCES := pyproject.toml CMakeLists.txt $(wildcard velmora/* ensemble/* dask_radar/*.py)

.PHONY: test demo bench sanitize check-python clean forced-paths

check-python:
	@test -n "$(PYTHON312)" || { echo "No Python 3.12 found: put python3.12 on PATH or install it under pyenv."; exit 1; }

$(PY): | check-python
	$(PYTHON312) -m venv $(VENV)

# Build requirements come from pyproject.toml; the build dir is kept so that a
# source change recompiles only what changed.  The stamp names the extras.
$(VENV)/.installed-%: $(SOURCES) | $(PY)
	$(PY) -c "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires'], sep='\n')" \
		| xargs -d '\n' $(PY) -m pip install --quiet
	$(PY) -m pip install --quiet --no-build-isolation -Cbuild-dir=$(BUILD)/{wheel_tag} \
		"-Ccmake.define.EXTRA_FLAGS=$(EXTRA_FLAGS)" ".[$*]"
	rm -f $(VENV)/.installed-*
	touch $@

test: $(VENV)/.installed-test forced-paths
	ENSEMBLE_PATH_BUILDS="$(FORCED_PATHS:%=$(abspath $(BUILD))/path-%)" $(PY) -m pytest $(PYTEST_ARGS)

# _ensemble once more for each narrower vector path than the processor's
# own, each in its own build dir (incremental), so that tests/test_vector_paths.py
# checks every path bit for bit on any test machine.
FORCED_PATHS := sse2 avx2
forced-paths: $(VENV)/.installed-test
	@for p in $(FORCED_PATHS); do \
		cmake -S . -B $(BUILD)/path-$$p -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) \
			-Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" "-DEXTRA_FLAGS=-DENSEMBLE_FORCE_PATH=$$p" > /dev/null \
		&& cmake --build $(BUILD)/path-$$p --target _ensemble > /dev/null || exit 1; \
	done

demo: $(VENV)/.installed-demo
	$(PY) examples/storm.py $(ARGS)

bench: $(VENV)/.installed-bench
	$(PY) bench/run.py $(ARGS)

# The whole suite, with a large fuzzing budget, against modules built with
# AddressSanitizer and UndefinedBehaviorSanitizer in their own environment.
# Any report aborts the run.  Leak checking is off: the interpreter itself
# keeps memory until exit.  The sanitizer runtime must be loaded first, and
# the C++ runtime with it so that exceptions can be intercepted.
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
sanitize: | check-python
	$(MAKE) VENV=.venv-san BUILD=build-san EXTRA_FLAGS="$(SAN_FLAGS)" .venv-san/.installed-test
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	HYPOTHESIS_PROFILE=sanitize .venv-san/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS)

clean:
	rm -rf $(VENV) $(BUILD) .venv-san build-san
