"""Tables of results for the terminal or the README's markdown, and --compare's table.

Each builder turns result sections into (title, header, rows of cells, text columns);
rendered as text for the terminal or as markdown for the README. In markdown a gc-off cell
is left empty when it is within DIFFER of its gc-on figure.
"""

from __future__ import annotations

from .targets import find, targets
from .timing import GC_STATES

DIFFER = 0.10
OVERLAP_WARN = 0.9


def fmt_ns(ns: float) -> str:
    return f"{ns:,.1f}" if ns < 10_000 else f"{ns:,.0f}"


def fmt_ratio(x: float) -> str:
    return f"{x:.3f}" if x < 10 else f"{x:,.1f}"


def kilo(n: int) -> str:
    return f"{n // 1000:,}k" if n >= 1000 else str(n)


def pair_cells(pair: dict, fmt, markdown: bool) -> list:
    on, off = pair["gc_on"], pair["gc_off"]
    same = markdown and abs(off - on) <= DIFFER * abs(on)
    return [fmt(on), "" if same else fmt(off)]


def per_op_table(doc: dict, markdown: bool) -> list:
    rows = [r for name in ("hits", "misses", "instances", "dump") if name in doc
            for r in doc[name]["rows"]]
    if not rows:
        return []
    cells: list[list[str]] = []
    first: dict[str, dict] = {}  # case -> its first row
    for r in rows:
        ours = first.setdefault(r["case"], r)
        ratio = "" if r is ours else fmt_ratio(ours["ns"]["gc_on"] / r["ns"]["gc_on"])
        cells.append(["" if r is not ours else r["case"], r["impl"],
                      *pair_cells(r["ns"], fmt_ns, markdown), ratio])
    return [("ns per operation (best of the repeats); ratio = first row of its case ÷ this row,"
             " gc on",
             ["case", "implementation", "gc on", "gc off", "ratio"], cells, 2)]


def fill_table(doc: dict, markdown: bool) -> list:
    if "fills" not in doc:
        return []
    fills = doc["fills"]
    curves, chunk = fills["curves"], fills["chunk"]
    short = [c["impl"].split(".")[-1] for c in curves]
    header = ["calls"] + [f"{name}, gc {s}" for s in ("on", "off") for name in short]
    cells = []
    for k in range(len(curves[0]["ns_per_miss"]["gc_on"])):
        pairs = [pair_cells({s: c["ns_per_miss"][s][k] for s in GC_STATES}, fmt_ns, markdown)
                 for c in curves]
        cells.append([f"{kilo(k * chunk)}–{kilo((k + 1) * chunk)}"]
                     + [p[0] for p in pairs] + [p[1] for p in pairs])
    growth = [fmt_ratio(c["ns_per_miss"][s][-1] / c["ns_per_miss"][s][0])
              for s in GC_STATES for c in curves]
    cells.append(["last ÷ first"] + growth)
    return [(f"fill of one instance with {fills['calls']:,} distinct calls: ns per miss in "
             f"each chunk of {chunk:,}", header, cells, 1)]


def clear_table(doc: dict, markdown: bool) -> list:
    if "clear" not in doc:
        return []
    clear = doc["clear"]
    cells = [[f"{r['dependents']:,}", *pair_cells(r["ns_per_dependent"], fmt_ns, markdown)]
             for r in clear["rows"]]
    cells.append([f"total time, largest ÷ smallest (linear: {clear['linear']:.0f})",
                  *pair_cells(clear["ratio"], fmt_ratio, markdown)])
    return [("clear_cached_value('root') with N run-time dependents: ns per dependent",
             ["dependents", "gc on", "gc off"], cells, 1)]


def wait_table(doc: dict, markdown: bool) -> list:
    waits = doc.get("threads", {}).get("waits")
    if not waits:
        return []
    cells = [[w["request"], f"{w['wall_ms']:.1f}", f"{w['cpu_ms']:.2f}"] for w in waits]
    return [("a request meeting another thread's 100 ms exclusive hold: it waits, sleeping",
             ["request", "wall ms", "CPU ms"], cells, 1)]


def thread_table(doc: dict, markdown: bool) -> list:
    if "threads" not in doc:
        return []
    cells = []
    for r in doc["threads"]["rows"]:
        pairs = [pair_cells({s: r[s][key] for s in GC_STATES}, fmt_ratio, markdown)
                 for key in ("cpu_inflation", "throughput_ratio")]
        refusals = sum(r[s]["refusals"] for s in GC_STATES)
        cells.append([r["impl"], str(r["threads"]), r["instances"],
                      fmt_ns(r["gc_on"]["cpu_ns_per_op_alone"]), pairs[0][0], pairs[1][0],
                      pairs[0][1], pairs[1][1], "" if r["instances"] == "own" and not refusals
                      else f"{refusals:,}"])
    return [(f"threads, median of {doc['threads']['rounds']} rounds: CPU-time inflation "
             "(1.0 = no interference) and throughput ÷ one thread alone",
             ["implementation", "threads", "instances", "CPU ns/op alone", "inflation",
              "throughput", "gc off: inflation", "gc off: throughput", "refusals"], cells, 3)]


def memory_table(doc: dict, markdown: bool) -> list:
    groups = []
    if "memory" in doc:
        groups.append((f"per entry, {doc['memory']['entries']:,} distinct f(i) calls",
                       [(r["impl"], r["bytes_each"]) for r in doc["memory"]["rows"]]))
    if "instances" in doc:
        inst = doc["instances"]
        groups.append((f"per instance, {inst['rss'][0]['count']:,} instances that never "
                       "memoise", [(r["impl"], r["bytes_each"]) for r in inst["rss"]]))
        groups.append(("__basicsize__", list(inst["basicsize"].items())))
    cells = []
    for figure, values in groups:
        ours = values[0][1]
        cells += [[figure if k == 0 else "", impl, f"{b:,.1f}",
                   "" if k == 0 else fmt_ratio(ours / b)] for k, (impl, b) in enumerate(values)]
    if not cells:
        return []
    return [("memory in bytes (RSS delta in a fresh process, collector enabled); ratio = first "
             "row of its figure ÷ this row", ["figure", "implementation", "bytes", "ratio"],
             cells, 2)]


def rounds_table(doc: dict, markdown: bool) -> list:
    if "rounds" not in doc:
        return []
    sec = doc["rounds"]
    cells = [[r["impl"], " ".join(f"{n:,}" for n in r["live_nodes"]),
              " ".join(f"{m:.0f}" for m in r["rss_mb"])] for r in sec["rows"]]
    return [(f"rounds of a long-running program ({sec['nodes_per_round']} new nodes per round): "
             "live nodes and RSS (MB) after each round's collection",
             ["workload", "live nodes by round", "RSS MB by round"], cells, 1)]


def target_table(doc: dict, markdown: bool) -> list:
    cells = [[t["target"], f"{t['value']:,}" if isinstance(t["value"], int)
              else f"{t['value']:,.2f}", f"{t['op']} {t['limit']}", t["status"]]
             for t in targets(doc)]
    return [("targets (gc on)", ["target", "value", "limit", "status"], cells, 1)] if cells else []


TABLES = (per_op_table, fill_table, clear_table, thread_table, wait_table, memory_table, rounds_table,
          target_table)


def render_text(title, header, rows, ntext) -> str:
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]

    def line(cells):
        return "  ".join(c.ljust(w) if i < ntext else c.rjust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    rule = "-" * len(line(header))
    return "\n".join([title, rule, line(header), rule, *map(line, rows)]) + "\n"


def render_markdown(title, header, rows, ntext) -> str:
    align = ["---" if i < ntext else "---:" for i in range(len(header))]
    body = [[c.replace("__", r"\_\_") for c in r] for r in [header, *rows]]  # not bold
    lines = [f"{title}:", "", *("| " + " | ".join(r) + " |" for r in [body[0], align, *body[1:]])]
    return "\n".join(lines) + "\n"


def print_comparison(docs: list) -> None:
    """Calls (ns, ratio to the case's first row) and 2-thread figures of several runs, one
    column per run: the same measurements on different interpreters."""
    names = [d["info"].get("interpreter", d["info"].get("python", "?")) for d in docs]
    print("| case | implementation | " + " | ".join(names) + " |")
    print("| --- | --- | " + " | ".join("---:" for _ in docs) + " |")
    keys = [(r["case"], r["impl"]) for r in docs[0].get("hits", {}).get("rows", [])]
    shown = set()
    for case, impl in keys:
        cells = []
        for d in docs:
            rows = d["hits"]["rows"]
            first = next(r for r in rows if r["case"] == case)
            row = next(r for r in rows if (r["case"], r["impl"]) == (case, impl))
            ns = row["ns"]["gc_on"]
            cells.append(fmt_ns(ns) if row is first else
                         f"{fmt_ns(ns)} ({fmt_ratio(first['ns']['gc_on'] / ns)})")
        print(f"| {case if case not in shown else ''} | {impl} | " + " | ".join(cells) + " |")
        shown.add(case)
    print()
    print("| 2 threads | instances | " + " | ".join(names) + " |")
    print("| --- | --- | " + " | ".join("---:" for _ in docs) + " |")
    for row in docs[0].get("threads", {}).get("rows", []):
        if row["threads"] != 2:
            continue
        cells = []
        for d in docs:
            other = find(d["threads"]["rows"], impl=row["impl"], threads=2,
                         instances=row["instances"])["gc_on"]
            cells.append(f"{other['throughput_ratio']:.2f} / {other['cpu_inflation']:.2f}")
        print(f"| {row['impl']} | {row['instances']} | " + " | ".join(cells) + " |")


def print_tables(doc: dict, markdown: bool) -> None:
    render = render_markdown if markdown else render_text
    for build in TABLES:
        for table in build(doc, markdown):
            print(render(*table))
