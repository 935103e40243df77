"""Draw an instance's dependency graph as a Graphviz DOT file.

`to_dot(obj)` turns `obj.dependency_graph` and `obj.validation_state` into DOT text:

* one node per call of the graph, labelled like a call (`name` or `name(arg=value, ...)`)
  and filled by its validation state: valid (green), invalid (orange), permanently invalid
  (red). A call that is known only as a declared dependency and was never called has no
  state; it is drawn grey and dashed (it counts as permanently invalid for its dependents).
* one edge per dependency, drawn in the direction of `dependency_graph`: from a call to
  each call that depends on it directly. An arrow `b -> a` reads "a uses b", and it is the
  direction in which clearing or updating b invalidates a.

Usage: graphviz_dot.py [PATH]   (the .dot file to write; default: a temporary file)
If Graphviz's `dot` program is installed, PATH.png is rendered next to it.
"""

import os
import shutil
import subprocess
import sys
import tempfile

from kestrine import KestrineBase, automagically_kestrined, kestrined

STATE_STYLE = {
    "valid": 'style=filled, fillcolor="#b7e4b0"',
    "invalid": 'style=filled, fillcolor="#ffd28a"',
    "permanently invalid": 'style=filled, fillcolor="#f4a6a6"',
    None: 'style="filled,dashed", fillcolor="#e0e0e0"',
}


def call_label(call):
    """`name` for a call without arguments, else `name(arg=value, ...)`."""
    if isinstance(call, str):
        return call
    name, pairs = call
    return f"{name}({', '.join(f'{p}={v!r}' for p, v in pairs)})"


def quote(*lines):
    """A DOT string literal; several lines are joined with DOT's line break."""
    return '"' + "\\n".join(t.replace("\\", "\\\\").replace('"', '\\"') for t in lines) + '"'


def to_dot(obj, title="kestrine dependency graph"):
    graph = obj.dependency_graph
    states = obj.validation_state
    calls = set(graph) | set(states)
    for dependents in graph.values():
        calls |= dependents
    ordered = sorted(calls, key=call_label)
    ids = {call: f"n{i}" for i, call in enumerate(ordered)}

    legend = "green: valid, orange: invalid, red: permanently invalid, grey: never called; b -> a: a depends on b"
    lines = [
        "digraph kestrine {",
        f"  graph [label={quote(title, legend)}, labelloc=t, rankdir=LR];",
        '  node [shape=box, fontname="monospace"];',
    ]
    for call in ordered:
        state = states.get(call)
        lines.append(f"  {ids[call]} [label={quote(call_label(call))}, {STATE_STYLE[state]}];")
    for call in ordered:
        for dependent in sorted(graph.get(call, ()), key=call_label):
            lines.append(f"  {ids[call]} -> {ids[dependent]};")
    lines.append("}")
    return "\n".join(lines) + "\n"


class Report(KestrineBase):
    """A small pipeline that ends up with every kind of node."""

    def __init__(self, rows):
        self.rows = rows
        self.printed = 0

    @kestrined()
    def row(self, index):
        return self.rows[index]

    @kestrined(track_runtime_dependencies=True)
    def table(self):
        return [self.row(i) for i in range(len(self.rows))]

    @automagically_kestrined()
    def total(self):
        return sum(self.table())

    @automagically_kestrined()
    def mean(self):
        return self.total() / len(self.table())

    @kestrined(use_cache=False)
    def print_run(self):
        self.printed += 1
        return self.printed

    @automagically_kestrined()
    def heading(self):
        return f'Report "{self.mean():.1f}" #{self.print_run()}'

    # Declares a dependency that is never called.
    @kestrined(dependencies=["config"])
    def footer(self):
        return "end"


def build_example():
    report = Report([4, 8, 15, 16, 23, 42])
    report.heading()
    report.footer()
    report.update_cached_value("row", 100, index=5)  # total, mean, table become invalid
    return report


def main(path):
    report = build_example()
    with open(path, "w") as f:
        f.write(to_dot(report))
    graph = report.dependency_graph
    print(f"wrote {path}: {len(set(graph) | set(report.validation_state))} nodes, "
          f"{sum(len(d) for d in graph.values())} edges")
    for call, state in sorted(report.validation_state.items(), key=lambda kv: call_label(kv[0])):
        print(f"  {call_label(call):<16} {state}")
    dot = shutil.which("dot")
    if dot is None:
        print("Graphviz `dot` not found: not rendering (apt-get install graphviz)")
        return
    png = path + ".png"
    subprocess.run([dot, "-Tpng", path, "-o", png], check=True)
    print(f"rendered {png}")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        fd, tmp = tempfile.mkstemp(suffix=".dot", prefix="kestrine-")
        os.close(fd)
        main(tmp)
