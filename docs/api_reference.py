"""The API reference page, generated from the type stub stubs/kestrine.pyi.

The stub is what type checkers and editors read, and the test suite checks it against the
built module (stubtest), so a page made from it shows the signatures the module has. Each
public name is a name in the stub's `__all__`, the decorated method's type
`KestrineDecorator`, and every method or property of theirs that is public or a dunder.
Each must have a docstring with a `Returns:` and a `Raises:` section (Google style); a name
without one fails the build (StubError).

Usage: api_reference.py [STUB]   prints the page's Markdown.
"""

from __future__ import annotations

import ast
import re
import sys
from pathlib import Path

STUB = Path(__file__).resolve().parent.parent / "stubs" / "kestrine.pyi"
SECTIONS = ("Returns", "Raises")


class StubError(ValueError):
    pass


def is_public(name: str) -> bool:
    return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))


def parse_docstring(text: str, where: str) -> tuple[str, dict[str, str]]:
    """(description, {section: body}) of a Google-style docstring, sections dedented."""
    lines = text.expandtabs().splitlines()
    description, sections, current = [], {}, None
    for line in lines:
        m = re.fullmatch(r"\s*(\w+):\s*", line)
        if m and m[1] in SECTIONS:
            current = sections.setdefault(m[1], [])
        elif current is None:
            description.append(line.strip())
        else:
            current.append(line)
    missing = [s for s in SECTIONS if not "".join(sections.get(s, [])).strip()]
    if missing:
        raise StubError(f"{where}: the docstring in {STUB.name} has no {' or '.join(missing)} section")
    bodies = {}
    for name, body in sections.items():
        indent = min(len(l) - len(l.lstrip()) for l in body if l.strip())
        bodies[name] = "\n".join(l[indent:] for l in body).strip()
    return "\n".join(description).strip(), bodies


def paragraphs(text: str) -> str:
    """Docstring text as Markdown: lines of one paragraph joined."""
    return "\n\n".join(" ".join(l.strip() for l in p.splitlines()) for p in re.split(r"\n\s*\n", text))


def raises_list(body: str) -> str:
    """`Name: text` entries (continuation lines indented) as a Markdown list."""
    entries: list[list[str]] = []
    for line in body.splitlines():
        if line.strip() and not line.startswith(" "):
            entries.append([line.strip()])
        elif entries:
            entries[-1].append(line.strip())
    items = []
    for entry in entries:
        head, _, rest = " ".join(entry).partition(":")
        items.append(f"- `{head.strip()}`" + (f": {rest.strip()}" if rest.strip() else ""))
    return "\n".join(items)


def signature(func: ast.FunctionDef, source_lines: list[str]) -> str:
    """The stub's `def` as written there, without its body, after `@property` or `@overload`."""
    body = func.body[0]
    lines = source_lines[func.lineno - 1:body.lineno]
    lines[-1] = lines[-1][:body.col_offset]
    lines = [lines[0][func.col_offset:], *(l[func.col_offset:] for l in lines[1:])]
    text = "\n".join(lines).rstrip().removesuffix(":").rstrip()
    marks = [d.id for d in func.decorator_list
             if isinstance(d, ast.Name) and d.id in ("property", "overload")]
    return "".join(f"@{mark}\n" for mark in marks) + text


def doc_of(node) -> str | None:
    return ast.get_docstring(node, clean=True)


def anchor(owner: str, name: str) -> str:
    """The section's id: `Owner.name`, a dunder without its underscores (which Markdown would
    read as bold): `Owner.new` for `__new__`."""
    return f"{owner}.{name.strip('_') if name.startswith('__') else name}"


def member_section(owner: str, name: str, funcs: list[ast.FunctionDef],
                   source_lines: list[str]) -> list[str]:
    where = f"{owner}.{name}"
    docs = [d for d in map(doc_of, funcs) if d]
    if len(docs) != 1:
        raise StubError(f"{where}: needs one docstring in {STUB.name} (found {len(docs)})")
    description, sections = parse_docstring(docs[0], where)
    kind = "property" if any(isinstance(d, ast.Name) and d.id == "property"
                             for f in funcs for d in f.decorator_list) else "method"
    out = [f"### {kind} `{name}` {{ #{anchor(owner, name)} }}", "", "```python"]
    out += [signature(f, source_lines) for f in funcs]
    out += ["```", ""]
    if description:
        out += [paragraphs(description), ""]
    out += [f"**Returns:** {paragraphs(sections['Returns'])}", ""]
    out += ["**Raises:**", "", raises_list(sections["Raises"]), ""]
    return out


def comments_above(source_lines: list[str], lineno: int) -> str:
    """The `#` comment lines right above line `lineno` (1-based), joined."""
    found = []
    i = lineno - 2
    while i >= 0 and source_lines[i].lstrip().startswith("#"):
        found.insert(0, source_lines[i].lstrip()[1:].strip())
        i -= 1
    return " ".join(found)


def generate(stub: Path = STUB) -> str:
    source = stub.read_text()
    tree = ast.parse(source)
    lines = source.splitlines()
    exported: list[str] = []
    aliases, classes = [], {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "__all__"
                                                for t in node.targets):
            exported = list(ast.literal_eval(node.value))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            aliases.append((node.target.id, ast.unparse(node.value), comments_above(lines, node.lineno)))
        elif isinstance(node, ast.ClassDef):
            classes[node.name] = node
    documented = [n for n in exported if n in classes] + [n for n in classes if n not in exported
                                                           and not n.startswith("_")]
    missing = [n for n in exported if n not in classes]
    if missing:
        raise StubError(f"__all__ names {missing}, which {STUB.name} does not define as classes")

    out = [
        "# API reference",
        "",
        f"Generated from the type stub `stubs/{stub.name}` when the site is built. The test suite "
        "checks the stub against the built module (`mypy.stubtest`), so the signatures below are "
        "the module's. Calls are shown by the inspection properties as `_Call` values (see "
        "[Types in the signatures](#types-in-the-signatures)).",
        "",
        "| name | what it is |",
        "| --- | --- |",
    ]
    for name in documented:
        summary = paragraphs((doc_of(classes[name]) or "").split("\n\n")[0])
        out.append(f"| [`{name}`](#{name}) | {summary} |")
    out.append("")
    for name in documented:
        cls = classes[name]
        doc = doc_of(cls)
        if not doc:
            raise StubError(f"{name}: has no docstring in {STUB.name}")
        bases = ", ".join(ast.unparse(b) for b in cls.bases)
        out += [f"## `{name}` {{ #{name} }}", "", "```python", f"class {name}" + (f"({bases})" if bases else "") + ": ...",
                "```", "", paragraphs(doc), ""]
        members: dict[str, list[ast.FunctionDef]] = {}
        for item in cls.body:
            if isinstance(item, ast.FunctionDef) and is_public(item.name):
                members.setdefault(item.name, []).append(item)
        for member, funcs in members.items():
            out += member_section(name, member, funcs, lines)
    out += ["## Types in the signatures", "",
            "Names the stub defines for its signatures; they are not module attributes.", "",
            "| name | type | meaning |", "| --- | --- | --- |"]
    for alias, value, comment in aliases:
        out.append(f"| `{alias}` | `{value}` | {comment} |")
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    sys.stdout.write(generate(Path(sys.argv[1]) if len(sys.argv) > 1 else STUB))
