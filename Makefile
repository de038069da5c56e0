# Set-up, build, demo, tests and benchmarks in a local Python 3.13 venv.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PYTHON313 := $(shell if [ -x /usr/bin/python3.13 ]; then echo /usr/bin/python3.13; \
	else ls -d $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -n 1; fi)
BUILD_DEPS := scikit-build-core nanobind numpy scipy
STAMP := $(VENV)/.deps-stamp

.PHONY: demo test bench install venv clean

$(STAMP): pyproject.toml
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found (looked for /usr/bin/python3.13 and pyenv)"; exit 1; }
	@test -x $(PY) || $(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS) pytest hypothesis matplotlib simple-pid
	touch $(STAMP)

venv: $(STAMP)

# Incremental: scikit-build-core keeps its CMake build directory under build/.
install: $(STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps $(PIP_EXTRA) .

demo: install
	MPLBACKEND=Agg $(PY) examples/closed_loop.py

test: install
	$(PY) -m pytest -q

bench: PIP_EXTRA = -Ccmake.define.CORVANE_BENCH_FLOOR=ON
bench: install
	$(PY) benchmarks/run_all.py

clean:
	rm -rf build $(VENV)
