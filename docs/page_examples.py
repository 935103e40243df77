"""The examples of a Markdown page, run the way a reader would run them.

An example is a ```python block. The fenced block right after it, when that block has no
language, is what the example prints; an example with no such block must print nothing.
A page's examples run in order as one program in a fresh interpreter, so a later example
may use what an earlier one defined. The program runs in a scratch folder given by the
caller (an example may write files there: the docs build draws the Graphviz files it finds)
with examples/ on the import path.

The docs build (hooks.py) and the test suite (tests/test_readme.py) both run pages through
check(); ```text blocks are excerpts of the tour's output and are not run here.
"""

from __future__ import annotations

import difflib
import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
SEPARATOR = "<<< next example >>>"
FENCE = re.compile(r"^```([^\n`]*)\n(.*?)^```[ \t]*$", re.S | re.M)


class Example:
    def __init__(self, code: str, shown: str, line: int):
        self.code, self.shown, self.line = code, shown, line

    def title(self) -> str:
        first = next((l for l in self.code.splitlines() if l.strip()), "")
        return f"the example at line {self.line} ({first.strip()!r})"


def examples(text: str) -> list[Example]:
    """The page's ```python blocks, each with the output block that follows it ("" if none)."""
    blocks = list(FENCE.finditer(text))
    found = []
    for i, block in enumerate(blocks):
        if block.group(1).strip() != "python":
            continue
        shown = ""
        if i + 1 < len(blocks):
            after = blocks[i + 1]
            if after.group(1).strip() == "" and not text[block.end():after.start()].strip():
                shown = after.group(2)
        found.append(Example(block.group(2), shown, text.count("\n", 0, block.start()) + 1))
    return found


def run(found: list[Example], cwd: Path, python: str | None = None,
        timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs the examples as one program in `cwd`; each example's output ends with SEPARATOR."""
    program = "".join(f"{example.code}\nprint({SEPARATOR!r}, flush=True)\n" for example in found)
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(EXAMPLES), env.get("PYTHONPATH")]))
    return subprocess.run([python or sys.executable, "-c", program], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=timeout)


def check(text: str, cwd: Path, python: str | None = None) -> list[str]:
    """What is wrong with the page's examples: one message per failing example ([] if none)."""
    found = examples(text)
    if not found:
        return []
    proc = run(found, cwd, python)
    outputs = proc.stdout.split(SEPARATOR + "\n")
    problems = []
    for example, printed in zip(found, outputs[:-1]):
        if printed != example.shown:
            diff = "\n".join(difflib.unified_diff(example.shown.splitlines(), printed.splitlines(),
                                                  "shown on the page", "printed", lineterm=""))
            problems.append(f"{example.title()} prints other than the page shows:\n{diff}")
    if proc.returncode != 0:
        failed = found[len(outputs) - 1] if len(outputs) - 1 < len(found) else found[-1]
        problems.append(f"{failed.title()} failed:\n{proc.stderr.strip()}")
    return problems
