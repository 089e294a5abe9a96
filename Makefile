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

.PHONY: test demo bench sanitize check-python clean

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

test: $(VENV)/.installed-test
	$(PY) -m pytest $(PYTEST_ARGS)

# The shipped radar volume to a wind profile (ARGS go to it), then the
# synthetic storm that runs the ensemble kernels (STORM_ARGS).
STORM_ARGS ?=
demo: $(VENV)/.installed-demo
	$(PY) examples/radar_vwp.py $(ARGS)
	$(PY) examples/storm.py $(STORM_ARGS)

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
