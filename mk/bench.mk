# `make bench`: kestrine against its memoisation peers on the same interpreter, every figure
# with the cyclic collector enabled and the same with it disabled beside it.
# `make bench BENCH_ARGS=--quick` is a smoke run; `BENCH_ARGS="--section threads"` runs one
# section alone (see bench/run.py --help). Results: bench/results/<UTC time>.json, and
# bench/results/latest.json for a run of every section.
BENCH_ARGS ?=
# Optional peers, installed into $(VENV) when missing; one that cannot be installed or
# imported on this interpreter is skipped by the benchmark.
BENCH_PEERS := cachetools methodtools

.PHONY: bench

bench: install
	@for peer in $(BENCH_PEERS); do \
		env -u PYTHON_GIL $(VPY) -c "import $$peer" >/dev/null 2>&1 && continue; \
		echo "[bench] installing optional peer $$peer into $(VENV)"; \
		$(VPY) -m pip install -q --disable-pip-version-check $$peer >/dev/null 2>&1 \
			|| echo "[bench] could not install $$peer: skipped"; \
	done
	@env -u PYTHON_GIL $(VPY) bench/run.py $(BENCH_ARGS)
