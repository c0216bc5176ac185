# `make test` and `make demo` do all set-up themselves: a .venv on CPython 3.10, the build tools,
# the module and its test and benchmark dependencies. Re-running rebuilds only what changed.
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(wildcard sampler/*.h sampler/*.cpp bindings/*.cpp bindings/*.h bindings/*.map stubs/*/*.pyi tovalib_pyg/*.py) CMakeLists.txt pyproject.toml
# Extra pip requirement for the runtime, e.g. NUMPY='numpy==1.26.*' to test against NumPy 1.x.
NUMPY ?= numpy
PYTEST_ARGS ?=
LINT_PATHS ?= tests tools bench examples tovalib_pyg
# The kernels' headers must build with no Python or pybind11 on the include path.
KERNEL_HEADERS := sampler/block_pool.h sampler/checked_reads.h sampler/edge_recorder.h sampler/int64_list.h \
                  sampler/int64_span.h sampler/memory_policy.h sampler/mt19937.h sampler/node_index_map.h \
                  sampler/sampled_subgraph.h sampler/selection.h sampler/taken_set.h sampler/timed_cut.h
WARNINGS := -Wall -Wextra -Wshadow -Wsign-conversion

.PHONY: build test demo plot lint clean

$(VENV)/.tools: tools/find-python.sh
	test -x $(PY) || "$$(bash tools/find-python.sh)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q 'scikit-build-core>=0.10' 'pybind11>=2.13,<3' cmake ninja
	touch $@

$(VENV)/.built: $(VENV)/.tools $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation '.[test,bench]' '$(NUMPY)'
	touch $@

build: $(VENV)/.built

test: build
	$(PY) -m pytest $(PYTEST_ARGS)

demo: build
	$(PY) bench/benchmark.py

# The benchmark's batch-size sweep as docs/batch_sweep.png (and its figures as JSON beside it).
plot: build
	$(PY) -m pip install -q 'matplotlib>=3.5'
	$(PY) bench/benchmark.py --data bench/data/default --quiet \
	  --json docs/batch_sweep.json --plot docs/batch_sweep.png

# The formatting and lint gates that CI holds the code to.
lint: $(VENV)/.tools  # pins kept here only: nothing else needs these tools
	$(PY) -m pip install -q 'ruff>=0.17,<0.18' 'clang-format>=19,<20'
	$(VENV)/bin/clang-format --dry-run --Werror sampler/*.h sampler/*.cpp bindings/*.h bindings/*.cpp bench/*.cpp \
	  tests/kernels/*.h tests/kernels/*.cpp
	for header in $(KERNEL_HEADERS); do \
	  echo "#include \"$$header\"" | $(CXX) -std=c++17 -fsyntax-only -Werror $(WARNINGS) -I. -x c++ - \
	    || { echo "$$header must compile without Python"; exit 1; }; \
	done
	$(CXX) -std=c++17 -fsyntax-only -Werror $(WARNINGS) -I. bench/map_bound.cpp
	$(VENV)/bin/ruff check $(LINT_PATHS)
	$(VENV)/bin/ruff format --check $(LINT_PATHS)

clean:
	rm -rf build $(VENV)
