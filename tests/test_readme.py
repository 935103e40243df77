"""The README and the documentation site's pages (docs/pages/): every example runs and prints
exactly the output shown beneath it, the tour excerpts are what the tour prints, the README
stays a landing page that links every page, and the API reference generated from the stub
covers every public name with what it returns and raises."""

import pathlib
import re
import subprocess
import sys

import pytest

import kestrine

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
DOCS = ROOT / "docs"
PAGES_DIR = DOCS / "pages"
sys.path.insert(0, str(DOCS))
import api_reference  # noqa: E402
import page_examples  # noqa: E402

PAGES = [README, *sorted(PAGES_DIR.glob("*.md"))]
WITH_EXAMPLES = [page for page in PAGES if page_examples.examples(page.read_text())]


@pytest.mark.parametrize("page", WITH_EXAMPLES, ids=lambda page: page.name)
def test_examples_print_what_the_page_shows(page, tmp_path):
    problems = page_examples.check(page.read_text(), tmp_path)
    assert not problems, "\n\n".join(problems)


@pytest.mark.parametrize("text, fault", [
    ("```python\nprint(1)\n```\n```\n2\n```\n", "prints other than the page shows"),
    ("```python\nprint(1)\n```\n", "prints other than the page shows"),  # no output block
    ("```python\nprint(1)\n```\n\ntext\n\n```\n1\n```\n", "prints other than the page shows"),
    ("```python\nraise ValueError('x')\n```\n```\n```\n", "failed"),
    ("```python\nx = 1\n```\n```python\nprint(y)\n```\n```\n1\n```\n", "failed"),
])
def test_a_wrong_example_is_reported(text, fault, tmp_path):
    problems = page_examples.check(text, tmp_path)
    assert len(problems) == 1 and fault in problems[0]


def test_tour_excerpts_are_what_the_tour_prints():
    excerpts = [e for page in PAGES for e in re.findall(r"```text\n(.*?)```", page.read_text(), re.S)]
    assert excerpts, "no page shows output of the tour"
    tour = ROOT / "examples" / "tour.py"
    run = subprocess.run([sys.executable, str(tour)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    for excerpt in excerpts:
        assert excerpt in run.stdout


def test_readme_is_a_landing_page_that_links_every_page():
    text = README.read_text()
    assert len(text) <= 10_000
    assert "make test" in text and "make demo" in text
    linked = set(re.findall(r"\]\(docs/pages/([\w-]+\.md)(?:#[\w-]+)?\)", text))
    assert linked == {page.name for page in PAGES_DIR.glob("*.md")}
    nav = re.findall(r":\s+([\w-]+\.md)\s*$", (DOCS / "mkdocs.yml").read_text(), re.M)
    assert sorted(nav) == sorted(linked | {"index.md"})


def public_names():
    """Every public name of the built module: its classes, their public methods and
    properties, the decorated method's type with its descriptor protocol, constructors."""
    decorated = type(kestrine.kestrined()(lambda self: 1))
    classes = {name: getattr(kestrine, name) for name in kestrine.__all__}
    classes["KestrineDecorator"] = decorated
    protocol = {"__get__", "__set__", "__delete__", "__set_name__", "__call__"}
    names = set(classes)
    for owner, cls in classes.items():
        names |= {f"{owner}.{n}" for n, v in vars(cls).items()
                  if (not n.startswith("_") or (cls is decorated and n in protocol))
                  and (callable(v) or hasattr(v, "__get__"))}
    names |= {f"{f}.__new__" for f in ("kestrined", "automagically_kestrined", "KestrineBase")}
    names |= {f"{f}.__call__" for f in ("kestrined", "automagically_kestrined")}
    return sorted(names)


def test_api_reference_covers_every_public_name():
    page = api_reference.generate()
    sections = dict(re.findall(r"\{ #([\w.]+) \}\n(.*?)(?=\n#+ |\Z)", page, re.S))
    assert len(set(re.findall(r"\{ #([\w.]+) \}", page))) == len(re.findall(r"\{ #", page))
    for name in public_names():
        owner, _, member = name.rpartition(".")
        name = api_reference.anchor(owner, member) if owner else name
        assert name in sections, f"{name} is missing from the API reference"
        if "." in name:
            body = sections[name]
            assert "```python\n" in body and "**Returns:**" in body and "**Raises:**" in body, name


@pytest.mark.parametrize("doc, accepted", [
    ('"""Summary.\n\n        Returns:\n            One.\n        Raises:\n            E: never.\n        """', True),
    ('"""Only a summary."""', False),
    ('"""Summary.\n\n        Returns:\n            One.\n        """', False),
    ('"""Summary.\n\n        Raises:\n            E: never.\n        """', False),
    ("...", False),
])
def test_api_reference_refuses_a_name_without_returns_and_raises(doc, accepted, tmp_path):
    stub = tmp_path / "k.pyi"
    stub.write_text(f'__all__ = ["C"]\nclass C:\n    """A class."""\n    def m(self) -> int:\n        {doc}\n')
    if accepted:
        assert "{ #C.m }" in api_reference.generate(stub)
    else:
        with pytest.raises(api_reference.StubError, match="C.m"):
            api_reference.generate(stub)
