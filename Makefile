# Developer entry points. `make test` is what CI runs.
SHELL := /bin/bash
VENV ?= .venv
VPY := $(VENV)/bin/python
BUILD_DIR ?= build/release
PYTEST_ARGS ?=

.PHONY: all bootstrap install test format format-check clean

all: test

bootstrap:
	@KESTRINE_VENV=$(abspath $(VENV)) bash tools/bootstrap.sh >/dev/null

# Incremental: scikit-build-core keeps its CMake tree in $(BUILD_DIR).
install: bootstrap
	@echo "[make] building and installing kestrine into $(VENV)"
	@$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
		-Cbuild-dir=$(BUILD_DIR) -Ccmake.define.KESTRINE_WERROR=ON .

# The tests marked wait_hook need the wait hook, which only test builds have: they skip in
# the suite's run, then run again on a build with the hook (loaded ahead of the installed
# one). $(call run_hooked,PYTHON,BUILD_DIR) builds it and runs them.
HOOKED_DIR ?= build/hooked
define run_hooked
	@echo "[make] building kestrine with the wait hook into $(2)"
	@cmake -S . -B $(2) -DPython_EXECUTABLE=$(abspath $(1)) -DCMAKE_BUILD_TYPE=Release \
		-DKESTRINE_WAIT_HOOKS=ON -DKESTRINE_WERROR=ON >/dev/null
	@cmake --build $(2) -j2 >/dev/null
	@echo "[make] the tests that run Python code at every wait, on that build"
	@env -u PYTHON_GIL PYTHONPATH=$(abspath $(2)) $(1) -m pytest -q -p no:cacheprovider \
		-m wait_hook $(PYTEST_ARGS) tests
endef

test: install format-check
	@env -u PYTHON_GIL $(VPY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) tests
	$(call run_hooked,$(VPY),$(HOOKED_DIR))

format: bootstrap
	@$(VENV)/bin/clang-format -i src/*.cpp src/*.h

format-check: bootstrap
	@$(VENV)/bin/clang-format --dry-run -Werror src/*.cpp src/*.h

clean:
	rm -rf build dist

# Further targets (demo, bench, soak, sanitizers, other interpreters, wheel) live in mk/.
include $(wildcard mk/*.mk)
