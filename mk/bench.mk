# `make bench`: kestrine against its memoisation peers on the same interpreter, every figure
# with the cyclic collector enabled and the same with it disabled beside it.
# `make bench INTERPRETER=snapshot` measures on the 3.14-era snapshot (mk/snapshot.mk),
# `INTERPRETER=snapshot-unpatched` on the same without its stack-reference patch; the default
# is the interpreter `make test` uses. Results record which interpreter gave them.
# `make bench BENCH_ARGS=--quick` is a smoke run; `BENCH_ARGS="--section threads"` runs one
# section alone (see bench/run.py --help). Results: bench/results/<UTC time>.json, and
# bench/results/latest.json for a run of every section.
BENCH_ARGS ?=
INTERPRETER ?= default
# Optional peers, installed into $(VENV) when missing; one that cannot be installed or
# imported on this interpreter is skipped by the benchmark.
BENCH_PEERS := cachetools methodtools

.PHONY: bench

ifeq ($(INTERPRETER),default)
BENCH_INSTALL := install
BENCH_PY = $(VPY)
else ifeq ($(INTERPRETER),snapshot)
BENCH_INSTALL := install-snapshot
BENCH_PY = $(SNAPSHOT_PY)
else ifeq ($(INTERPRETER),snapshot-unpatched)
BENCH_INSTALL := install-snapshot-unpatched
BENCH_PY = $(SNAPSHOT_UNPATCHED_VENV)/bin/python
else
$(error INTERPRETER must be default, snapshot or snapshot-unpatched)
endif

bench: $(BENCH_INSTALL)
	@for peer in $(BENCH_PEERS); do \
		env -u PYTHON_GIL $(BENCH_PY) -c "import $$peer" >/dev/null 2>&1 && continue; \
		echo "[bench] installing optional peer $$peer"; \
		$(BENCH_PY) -m pip install -q --disable-pip-version-check $$peer >/dev/null 2>&1 \
			|| echo "[bench] could not install $$peer: skipped"; \
	done
	@env -u PYTHON_GIL $(BENCH_PY) bench/run.py $(BENCH_ARGS)
