# A wheel of the module (with its type stub) for the bootstrap interpreter, into dist/.
# Shares $(BUILD_DIR) and its CMake options with `install`, so it is incremental.
.PHONY: wheel test-wheel

WHEEL_DIR ?= dist

wheel: bootstrap
	@rm -f $(WHEEL_DIR)/kestrine-*.whl
	@$(VPY) -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps --no-index \
		-Cbuild-dir=$(BUILD_DIR) -Ccmake.define.KESTRINE_WERROR=ON -w $(WHEEL_DIR) .
	@ls $(WHEEL_DIR)/kestrine-*.whl

# Installs that wheel into a fresh venv outside the tree and runs the tour from there.
test-wheel: wheel
	@KESTRINE_WHEEL_TEST=1 KESTRINE_WHEEL=$$(ls $(abspath $(WHEEL_DIR))/kestrine-*.whl) \
		env -u PYTHON_GIL $(VPY) -m pytest -q -p no:cacheprovider tests/test_wheel.py
