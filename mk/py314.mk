# CPython 3.14 (Debian sid's default, GIL-enabled build) in a cached sid root.
# Needs root; the first run creates the root (a few minutes, ~0.8 GB in the cache).
.PHONY: test-3.14

test-3.14:
	@bash tools/test_in_sid.sh $(PYTEST_ARGS)
