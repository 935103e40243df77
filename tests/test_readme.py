"""The README's examples run in order and print exactly the output shown beneath them."""

import pathlib
import re
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
SEPARATOR = "<<< next example >>>"


def test_readme_examples_print_what_the_readme_shows():
    pairs = re.findall(r"```python\n(.*?)```\n```\n(.*?)```", README.read_text(), re.S)
    assert pairs, "the README has no example with output"
    program = "".join(f"{code}\nprint({SEPARATOR!r})\n" for code, _ in pairs)
    run = subprocess.run(
        [sys.executable, "-c", program], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr
    outputs = run.stdout.split(SEPARATOR + "\n")
    for (code, shown), printed in zip(pairs, outputs):
        assert printed == shown, f"example starting {code.splitlines()[0]!r}"


def test_readme_tour_excerpt_is_what_the_tour_prints():
    excerpts = re.findall(r"```text\n(.*?)```", README.read_text(), re.S)
    assert excerpts, "the README shows no output of the tour"
    tour = README.parent / "examples" / "tour.py"
    run = subprocess.run([sys.executable, str(tour)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    for excerpt in excerpts:
        assert excerpt in run.stdout
