"""The runnable examples in examples/: each runs in a fresh interpreter, and what it
prints must agree with the logic it demonstrates."""

import ast
import math
import os
import pickle
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run(script, *args):
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run(
        [sys.executable, str(EXAMPLES / script), *map(str, args)],
        capture_output=True, text=True, env=env, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    return proc.stdout


def closure(graph, start):
    """Every call reachable from start along the dependents edges, start excluded."""
    seen, pending = set(), [start]
    while pending:
        for nxt in graph.get(pending.pop(), ()):
            if nxt not in seen:
                seen.add(nxt)
                pending.append(nxt)
    return seen - {start}


def base_name(call):
    return call.split("(")[0]


def section(text, number):
    return text.split(f"== {number}.")[1].split("\n== ")[0]


def ran(line):
    names = line.split("ran: ")[1]
    return set() if names.startswith("nothing") else {n.split(" x")[0] for n in names.split(", ")}


def test_tour():
    out = run("tour.py")
    assert out == run("tour.py"), "the tour's output goes into the README and must not vary"
    assert re.findall(r"^== (\d)\.", out, re.M) == list("12345")

    # 1: the four spellings of area(3) run the body once; the shown key has the default.
    first = section(out, 1).splitlines()
    spelled = [ran(l) for l in first if re.match(r"\s+box\.area\((3|width=3|3, 2|height=2, width=3)\)", l)]
    assert spelled == [{"area"}, set(), set(), set()]
    keys = [ast.literal_eval(l.strip().rsplit(": ", 1)[0]) for l in first if l.startswith("  ('area'")]
    assert keys and all(pairs == tuple(sorted(pairs)) and dict(pairs)["height"] == 2 for _, pairs in keys)

    # 2: the invalid calls after updating price(index=2) are exactly its transitive
    # dependents in the printed graph, and the next total() reruns exactly those.
    two = section(out, 2)
    graph = {m[0]: set() if m[1] == "-" else set(m[1].split(", "))
             for m in re.findall(r"^  (\S+)\s+is needed by: (.*)$", two, re.M)}
    states = dict(re.findall(r"^  (\S+)\s+(valid|invalid)$", two, re.M))
    expected = closure(graph, "price(index=2)")
    assert expected and {c for c, s in states.items() if s == "invalid"} == expected
    assert ran(two.splitlines()[-1]) == {base_name(c) for c in expected}

    # 3: a use_cache=False dependency makes its dependent run on every call.
    stamped = [ran(l) for l in section(out, 3).splitlines() if "p.stamped()" in l]
    assert stamped == [{"stamped", "ticket"}] * 2

    assert "is the unpickled object: True" in section(out, 5)


def test_model():
    out = run("model.py")
    graph_text = out.split("dependency graph")[1].split("read again")[0]
    graph = {m[0]: set() if m[1] == "-" else set(m[1].split(", "))
             for m in re.findall(r"^  (\S+): (.*)$", graph_text, re.M)}
    assert re.search(r"read again\n(?:.*\n)*?  recomputed: \(nothing\)", out)

    updates = re.findall(r"^update (\w+): .*\n  invalidated: (.*)\n((?:  .* = .*\n)+)  recomputed: (.*)$", out, re.M)
    assert len(updates) == out.count("\nupdate ")
    for name, invalidated, values, recomputed in updates:
        expected = closure(graph, name)
        assert set(invalidated.split(", ")) == expected
        assert set(recomputed.split(", ")) == {base_name(c) for c in expected}
        v = {k: float(x) for k, x in re.findall(r"^  (\S+)\s+= (\S+)$", values, re.M)}
        r, h, p = v["radius"], v["height"], v["price_per_m3"]
        for key, want in [("base_area", math.pi * r * r), ("wall_area", 2 * math.pi * r * h),
                          ("volume", math.pi * r * r * h), ("cost", math.pi * r * r * h * p),
                          ("fill_cost(0.5)", math.pi * r * r * h * p / 2)]:
            assert v[key] == pytest.approx(want, rel=1e-4), key


def test_persistence(tmp_path):
    path = tmp_path / "cache.pickle"
    out = run("persistence.py", path)
    with open(path, "rb") as f:
        saved = pickle.load(f)
    assert set(saved) == {"primes", "divisor_counts"}
    primes = saved["primes"]
    assert primes == [n for n in range(2, primes[-1] + 1) if all(n % d for d in range(2, int(n**0.5) + 1))]
    summaries = re.findall(r"summary: (\{.*?\})", out)
    assert len(summaries) == 2 and summaries[0] == summaries[1]
    assert ast.literal_eval(summaries[0])["prime count"] == len(primes)

    restores = re.findall(r"ran during restore: (\[.*?\])", out)
    assert [sorted(ast.literal_eval(r)) for r in restores] == [sorted(saved), []]
    assert "bodies ran for summary: ['summary']" in out
    assert "restored values equal the saved ones: True" in out


@pytest.mark.parametrize("workers", [1, 3])
def test_threads(workers):
    out = run("threads.py", workers)
    seq, par = (ast.literal_eval(re.search(rf"{text}.*body runs (\{{.*\}})", out).group(1))
                for text in ("sequential", "parallel"))
    distinct_orders, distinct_items = map(int, re.search(r"distinct orders: (\d+), distinct items: (\d+)", out).groups())
    assert (seq["quote"], seq["base_price"]) == (distinct_orders, distinct_items)
    assert all(par[k] >= seq[k] for k in seq)

    instances, owners = map(int, re.search(r"(\d+) instances \(owners (\d+) distinct", out).groups())
    assert 1 <= instances == owners <= workers
    per_instance = [tuple(map(int, m)) for m in re.findall(r"quote body ran (\d+), valid quotes cached (\d+)", out)]
    assert len(per_instance) == instances
    assert all(computed == cached for computed, cached in per_instance)
    assert sum(computed for computed, _ in per_instance) == par["quote"]
    assert "results equal the sequential run: True" in out
    shared = ast.literal_eval(re.search(r"shared: .*body runs (\{.*\}), valid", out).group(1))
    cached = int(re.search(r"shared: .*valid quotes cached (\d+)", out).group(1))
    assert cached == distinct_orders  # every order's quote ends up stored
    assert distinct_orders <= shared["quote"] <= distinct_orders * workers
    assert "shared results equal the sequential run: True" in out
    if sys.version_info >= (3, 13) and not sys._is_gil_enabled():
        assert "GIL enabled: False" in out


def test_graphviz_dot(tmp_path):
    path = tmp_path / "graph.dot"
    out = run("graphviz_dot.py", path)
    dot = path.read_text()
    assert dot.startswith("digraph ") and dot.rstrip().endswith("}")

    nodes = re.findall(r"^  (n\d+) \[label=\"([^\"]*)\", (.*)\];$", dot, re.M)
    labels = {n: label for n, label, _ in nodes}
    styles = {n: style for n, _, style in nodes}
    edges = re.findall(r"^  (n\d+) -> (n\d+);$", dot, re.M)
    n_nodes, n_edges = map(int, re.search(r"(\d+) nodes, (\d+) edges", out).groups())
    assert len(nodes) == len(labels) == len(set(labels.values())) == n_nodes
    assert len(set(edges)) == len(edges) == n_edges
    assert all(a in labels and b in labels for a, b in edges)

    states = dict(re.findall(r"^  (\S+)\s+(valid|invalid|permanently invalid)$", out, re.M))
    state_of = {n: states.get(labels[n]) for n in labels}
    fill = {}
    for node, state in state_of.items():
        fill.setdefault(state, set()).add(re.search(r"fillcolor=\"(#\w+)\"", styles[node]).group(1))
    assert all(len(colours) == 1 for colours in fill.values())
    assert len(set().union(*fill.values())) == len(fill) == 4
    assert all(("dashed" in styles[n]) == (s is None) for n, s in state_of.items())

    # Edges run from a call to its dependents: a dependent is always a called (registered)
    # call, and no valid call sits downstream of one that is not valid.
    assert all(state_of[b] is not None for _, b in edges)
    assert all(state_of[b] != "valid" for a, b in edges if state_of[a] != "valid")

    if shutil.which("dot"):
        assert Path(f"{path}.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert "not found" in out
