# Type stub checks: stubtest against the built module, mypy on tests/typing/.
# mypy comes from binary wheels only: releases after 1.18 need packages that have no
# free-threaded wheel and would be built from Rust sources.
.PHONY: typecheck

typecheck: install
	@$(VPY) -c 'import mypy' 2>/dev/null || \
		$(VPY) -m pip install -q --disable-pip-version-check --only-binary=:all: 'mypy>=1.18'
	@env -u PYTHON_GIL $(VPY) -m pytest -q -p no:cacheprovider -ra tests/test_typing.py
