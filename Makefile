# Set-up, build, demo, tests and benchmarks in a local Python 3.13 venv.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PYTHON313 := $(shell if [ -x /usr/bin/python3.13 ]; then echo /usr/bin/python3.13; \
	else ls -d $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -n 1; fi)
BUILD_DEPS := scikit-build-core nanobind numpy scipy
# The demo's set-up: what builds the package, and matplotlib. Every other job adds the
# extras of pyproject.toml it needs, each behind a stamp of its own (.venv/.extra-NAME).
STAMP := $(VENV)/.deps-stamp
extra = $(VENV)/.extra-$(1)
# An extra's requirements, with the project's own extras it names (corvane[NAME]) expanded.
EXTRA_REQS = $(PY) -c 'import sys, tomllib; e = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]; \
	r = lambda n: [x for q in e[n] for x in (r(q[8:-1]) if q.startswith("corvane[") else [q])]; print(" ".join(r(sys.argv[1])))'

.PHONY: demo test bench install venv clean sanitize docs format sweep

$(STAMP): pyproject.toml
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found (looked for /usr/bin/python3.13 and pyenv)"; exit 1; }
	@test -x $(PY) || $(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS) $$($(EXTRA_REQS) plot)
	touch $(STAMP)

$(call extra,%): $(STAMP)
	$(PY) -m pip install -q $$($(EXTRA_REQS) $*)
	touch $@

venv: $(STAMP)

# Incremental: scikit-build-core keeps its CMake build directory under build/.
install: $(STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps $(PIP_EXTRA) .

demo: install
	MPLBACKEND=Agg $(PY) examples/closed_loop.py

test: install $(call extra,test)
	$(PY) -m pytest -q

bench: PIP_EXTRA = -Ccmake.define.CORVANE_BENCH_FLOOR=ON
bench: install $(call extra,bench) $(call extra,sweep)
	$(PY) benchmarks/run_all.py

# The tuning sweep of examples/tuning_sweep.py on a local Dask cluster.
sweep: install $(call extra,sweep)
	$(PY) examples/tuning_sweep.py

# The documentation site, warnings as errors; the API pages come from the installed stubs.
docs: install $(call extra,docs)
	MPLBACKEND=Agg $(PY) -m sphinx -W --keep-going -q -b html docs docs/_build/html

# AddressSanitizer + UndefinedBehaviorSanitizer: the package built in its own
# build directory, installed into build/asan/site, and the whole suite run on
# it. Reports go to files under build/asan/reports; any report fails the run.
ASAN_DIR := build/asan
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g
sanitize: $(STAMP) $(call extra,test)
	rm -rf $(ASAN_DIR)/site $(ASAN_DIR)/reports
	mkdir -p $(ASAN_DIR)/reports
	$(PY) -m pip install -q --no-build-isolation --no-deps --target $(ASAN_DIR)/site \
	  -Cbuild-dir=$(ASAN_DIR)/cmake -Ccmake.build-type=RelWithDebInfo -Ccmake.define.CORVANE_STUBS=OFF \
	  "-Ccmake.define.CMAKE_CXX_FLAGS=$(SAN_FLAGS)" \
	  "-Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" \
	  "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  PYTHONPATH=$(CURDIR)/$(ASAN_DIR)/site PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$(CURDIR)/$(ASAN_DIR)/reports/asan \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/$(ASAN_DIR)/reports/ubsan \
	  $(PY) -m pytest -q -p no:cacheprovider
	@if ls $(ASAN_DIR)/reports/* >/dev/null 2>&1; then echo "sanitizer reports:"; cat $(ASAN_DIR)/reports/*; exit 1; fi
	@echo "sanitize: no sanitizer report"

# The C++ tree in the style of .clang-format.
format: $(STAMP)
	$(PY) -m pip install -q clang-format==19.1.7
	$(VENV)/bin/clang-format --style=file -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build $(VENV)
