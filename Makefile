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

test: install format-check
	@env -u PYTHON_GIL $(VPY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) tests

format: bootstrap
	@$(VENV)/bin/clang-format -i src/*.cpp src/*.h

format-check: bootstrap
	@$(VENV)/bin/clang-format --dry-run -Werror src/*.cpp src/*.h

clean:
	rm -rf build dist

# Further targets (demo, bench, soak, sanitizers, other interpreters, wheel) live in mk/.
include $(wildcard mk/*.mk)
