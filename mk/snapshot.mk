# The 3.14-era free-threaded CPython built from ../shared/cpython/ (the development
# snapshot with its stack-reference patch), cached like the ordinary interpreter; the
# first run builds it (a few minutes), later runs reuse it.
#
# `make test-snapshot`: the whole suite there (tests that need numpy skip: there is no
# numpy build for this interpreter). `make bench INTERPRETER=snapshot` measures there;
# INTERPRETER=snapshot-unpatched builds and measures the snapshot without its patch.
.PHONY: install-snapshot install-snapshot-unpatched test-snapshot

SNAPSHOT_VENV ?= .venv-snapshot
SNAPSHOT_PY := $(SNAPSHOT_VENV)/bin/python
SNAPSHOT_UNPATCHED_VENV ?= .venv-snapshot-unpatched
SNAPSHOT_PIP = -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
	-Ccmake.define.KESTRINE_WERROR=ON

install-snapshot:
	@KESTRINE_VENV=$(abspath $(SNAPSHOT_VENV)) bash tools/build_snapshot_python.sh >/dev/null
	@echo "[make] building and installing kestrine into $(SNAPSHOT_VENV)"
	@$(SNAPSHOT_PY) $(SNAPSHOT_PIP) -Cbuild-dir=build/snapshot .

install-snapshot-unpatched:
	@KESTRINE_SNAPSHOT_PATCH=0 KESTRINE_VENV=$(abspath $(SNAPSHOT_UNPATCHED_VENV)) \
		bash tools/build_snapshot_python.sh >/dev/null
	@echo "[make] building and installing kestrine into $(SNAPSHOT_UNPATCHED_VENV)"
	@$(SNAPSHOT_UNPATCHED_VENV)/bin/python $(SNAPSHOT_PIP) -Cbuild-dir=build/snapshot-unpatched .

test-snapshot: install-snapshot
	@env -u PYTHON_GIL $(SNAPSHOT_PY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) tests
	$(call run_hooked,$(SNAPSHOT_PY),build/hooked-snapshot)
