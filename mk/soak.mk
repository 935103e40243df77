# Long randomised runs: the model-based test with many more generated sequences, then the
# thread tests with many more operations per thread. Both sizes can be overridden:
#   make soak SOAK_EXAMPLES=50000 SOAK_THREAD_OPS=100000
.PHONY: soak

SOAK_EXAMPLES ?= 20000
SOAK_THREAD_OPS ?= 50000

soak: install
	@echo "[make] soak: $(SOAK_EXAMPLES) model-based sequences, $(SOAK_THREAD_OPS) ops per thread"
	@env -u PYTHON_GIL KESTRINE_SOAK_EXAMPLES=$(SOAK_EXAMPLES) $(VPY) -m pytest -q -p no:cacheprovider \
		$(PYTEST_ARGS) tests/test_model_based.py
	@env -u PYTHON_GIL KESTRINE_SOAK_THREAD_OPS=$(SOAK_THREAD_OPS) $(VPY) -m pytest -q -p no:cacheprovider \
		$(PYTEST_ARGS) tests/test_threads.py
