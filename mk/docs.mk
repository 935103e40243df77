# The documentation site (docs/): MkDocs with the Material theme, built offline.
#
# `make docs`: the site into build/docs/site. Strict: a broken link or anchor, a page
#   missing from the navigation, a failing example or a stale chart fails it. The pages'
#   examples run with $(VPY), where kestrine is installed.
# `make docs-serve`: the site on http://127.0.0.1:$(DOCS_PORT), rebuilt as the pages change.
# `make test-docs`: builds the site, serves it on 127.0.0.1 and opens every page in headless
#   Chromium (docs/browser_check.py); screenshots go to build/docs/screenshots/.
# `make docs-figures`: the performance charts redrawn from the newest results in
#   bench/results/ (kept in docs/data/bench/, the data the committed charts are drawn from).
# `make docs-bench`: the hits and threads benchmarks on both free-threaded interpreters,
#   then docs-figures: one command to renew the charts on a quiet machine.
#
# The tools live in $(DOCS_VENV) (tools/docs_venv.sh, versions pinned in
# docs/requirements.txt); Graphviz and Chromium come from Debian's archive, installed when
# missing (root, as in CI).
.PHONY: docs-tools docs docs-serve docs-figures docs-bench test-docs

DOCS_VENV ?= .venv-docs
DOCS_PY := $(DOCS_VENV)/bin/python
DOCS_SITE := build/docs/site
DOCS_SCREENSHOTS := build/docs/screenshots
DOCS_PORT ?= 8000
MKDOCS = env -u PYTHON_GIL NO_MKDOCS_2_WARNING=1 KESTRINE_PYTHON=$(abspath $(VPY)) $(DOCS_PY) -m mkdocs

docs-tools:
	@KESTRINE_VENV=$(abspath $(DOCS_VENV)) bash tools/docs_venv.sh >/dev/null
	@bash tools/debian_packages.sh graphviz

docs: install docs-tools
	@$(DOCS_PY) docs/figures.py --check
	@echo "[docs] building the site into $(DOCS_SITE)"
	@$(MKDOCS) build --clean -f docs/mkdocs.yml

docs-serve: install docs-tools
	@$(MKDOCS) serve -f docs/mkdocs.yml -a 127.0.0.1:$(DOCS_PORT)

docs-figures: docs-tools
	@$(DOCS_PY) docs/figures.py --collect bench/results

docs-bench:
	@$(MAKE) --no-print-directory bench BENCH_ARGS="--section hits --section threads"
	@$(MAKE) --no-print-directory bench INTERPRETER=snapshot BENCH_ARGS="--section hits --section threads"
	@$(MAKE) --no-print-directory docs-figures

test-docs: docs
	@bash tools/debian_packages.sh chromium chromium-driver fonts-dejavu-core
	@$(DOCS_PY) docs/browser_check.py $(DOCS_SITE) --screenshots $(DOCS_SCREENSHOTS)
