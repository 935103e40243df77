"""MkDocs hooks of the site (docs/mkdocs.yml).

- index.md is README.md, its links into docs/pages/ made relative to the site.
- api.md is replaced by the reference generated from the type stub (api_reference.py); the
  file in docs/pages/ says so to a reader of the sources.
- Every page's examples run with the interpreter that has kestrine ($KESTRINE_PYTHON, which
  `make docs` sets) and must print what the page shows (page_examples.py); a failing example
  fails the build.
- A Graphviz file (*.dot) that a page's examples write is drawn as SVG (`dot -Tsvg`) beside
  the page under the same name, so a picture on a page is drawn from the code on it.
"""

from __future__ import annotations

import logging
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path, PurePosixPath

from mkdocs.exceptions import PluginError
from mkdocs.structure.files import File, Files

sys.path.insert(0, str(Path(__file__).resolve().parent))
import api_reference  # noqa: E402
import page_examples  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
log = logging.getLogger("mkdocs.hooks.kestrine")


def landing_page() -> str:
    """README.md with its links to docs/pages/x.md made links to x.md."""
    return re.sub(r"\]\(docs/pages/", "](", README.read_text())


def interpreter() -> str:
    python = os.environ.get("KESTRINE_PYTHON")
    if not python:
        raise PluginError("KESTRINE_PYTHON is not set: the pages' examples need an interpreter "
                          "with kestrine installed (`make docs` sets it)")
    return python


def run_page(file: File, python: str) -> tuple[File, list[str], dict[str, bytes]]:
    """(page, problems, {svg name: svg}) of one page's examples."""
    with tempfile.TemporaryDirectory(prefix="kestrine-docs-") as scratch:
        problems = page_examples.check(file.content_string, Path(scratch), python)
        pictures = {}
        for dot_file in sorted(Path(scratch).glob("*.dot")):
            dot = shutil.which("dot")
            if dot is None:
                problems.append(f"{dot_file.name}: Graphviz's `dot` is not installed "
                                "(`make docs` installs it as root)")
                continue
            drawn = subprocess.run([dot, "-Tsvg", str(dot_file)], capture_output=True, timeout=60)
            if drawn.returncode != 0:
                problems.append(f"{dot_file.name}: dot failed: {drawn.stderr.decode().strip()}")
            else:
                pictures[dot_file.with_suffix(".svg").name] = drawn.stdout
        return file, problems, pictures


def on_files(files: Files, config) -> Files:
    if files.get_file_from_path("index.md") is not None:
        raise PluginError("docs/pages/index.md: the landing page is README.md; remove the file")
    files.append(File.generated(config, "index.md", content=landing_page()))

    python = interpreter()
    pages = [f for f in files.documentation_pages() if f.src_uri != "api.md"]
    started = time.monotonic()
    with ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(lambda f: run_page(f, python), pages))
    failures = []
    for file, problems, pictures in results:
        failures += [f"{file.src_uri}: {problem}" for problem in problems]
        folder = PurePosixPath(file.src_uri).parent
        for name, svg in pictures.items():
            files.append(File.generated(config, str(folder / name), content=svg))
    if failures:
        raise PluginError("the pages' examples failed:\n\n" + "\n\n".join(failures))
    log.info("ran the examples of %d pages in %.1f s", len(pages), time.monotonic() - started)
    return files


def on_page_markdown(markdown: str, page, config, files) -> str:
    if page.file.src_uri != "api.md":
        return markdown
    try:
        return api_reference.generate()
    except api_reference.StubError as error:
        raise PluginError(f"API reference: {error}") from None
