# Type stub checks: stubtest against the built module, mypy (and pyright, when it installs)
# on tests/typing/ for the oldest target version and the running one.
# mypy comes from binary wheels only: releases after 1.18 need packages that have no
# free-threaded wheel and would be built from Rust sources. basedpyright is pyright with its
# own Node.js in a wheel; where it cannot be installed its test skips.
.PHONY: typecheck

typecheck: install
	@$(VPY) -c 'import mypy' 2>/dev/null || \
		$(VPY) -m pip install -q --disable-pip-version-check --only-binary=:all: 'mypy>=1.18'
	@test -x $(VENV)/bin/basedpyright || \
		$(VPY) -m pip install -q --disable-pip-version-check --only-binary=:all: basedpyright || \
		echo "[typecheck] basedpyright is not installable here: its test skips"
	@env -u PYTHON_GIL $(VPY) -m pytest -q -p no:cacheprovider -ra tests/test_typing.py
