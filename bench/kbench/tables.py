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


def case_cells(rows: list, markdown: bool) -> list:
    """Rows of (case, impl, ns pair) as cells; ratio = first row of its case ÷ this row."""
    cells: list[list[str]] = []
    first: dict[str, dict] = {}  # case -> its first row
    for r in rows:
        ours = first.setdefault(r["case"], r)
        ratio = "" if r is ours else fmt_ratio(ours["ns"]["gc_on"] / r["ns"]["gc_on"])
        cells.append(["" if r is not ours else r["case"], r["impl"],
                      *pair_cells(r["ns"], fmt_ns, markdown), ratio])
    return cells


CASE_HEADER = ["case", "implementation", "gc on", "gc off", "ratio"]


def per_op_table(doc: dict, markdown: bool) -> list:
    rows = [r for name in ("hits", "misses", "instances", "dump") if name in doc
            for r in doc[name]["rows"]]
    if not rows:
        return []
    return [("ns per operation (best of the repeats); ratio = first row of its case ÷ this row,"
             " gc on", CASE_HEADER, case_cells(rows, markdown), 2)]


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


def objects_tables(doc: dict, markdown: bool) -> list:
    """Nodes built then called: ns per node by phase, and the size of a built node."""
    if "objects" not in doc:
        return []
    sec = doc["objects"]
    totals = {r["impl"]: r["total_ns"]["gc_on"] for r in sec["rows"]}
    floor, cached = totals.get("plain class (floor)"), totals.get("functools.cached_property")
    cells = []
    for r in sec["rows"]:
        pairs = [pair_cells(r[key], fmt_ns, markdown)
                 for key in ("build_ns", "call_ns", "total_ns")]
        mine = totals[r["impl"]]
        cells.append([r["impl"], *(p[0] for p in pairs),
                      fmt_ratio(mine / floor) if floor else "",
                      fmt_ratio(mine / cached) if cached else "", *(p[1] for p in pairs)])
    cells += [[impl, "not in this build", *[""] * 7] for impl in sec["unsupported"]]
    tables = [(f"{sec['nodes']:,} nodes built by an __init__ of 5 attribute stores, then asked "
               f"for value() {sec['calls_per_node']} times each (1 computes, the rest hit): ns "
               "per node, each phase best of the repeats; ratios of the total, gc on",
               ["variant", "build", "call", "total", "total ÷ floor",
                "total ÷ cached_property", "gc off: build", "gc off: call", "gc off: total"],
               cells, 1)]
    if sec["sizes"]:
        cells = [[r["impl"], str(r["basicsize"]), "yes" if r["inline_values"] else "no",
                  f"{r['blocks_each']:,.2f}", f"{r['rss_bytes_each']:,.1f}"] for r in sec["sizes"]]
        tables.append((f"a built node: its type's __basicsize__, whether its attributes live "
                       f"inline, and allocated blocks and RSS bytes grown per node building "
                       f"{sec['sizes'][0]['count']:,} nodes before any call (a fresh process "
                       "each, collector enabled)",
                       ["variant", "__basicsize__", "inline values", "blocks/node",
                        "RSS bytes/node"], cells, 1))
    return tables


def target_table(doc: dict, markdown: bool) -> list:
    cells = [[t["target"], f"{t['value']:,}" if isinstance(t["value"], int)
              else f"{t['value']:,.2f}", f"{t['op']} {t['limit']}", t["status"]]
             for t in targets(doc)]
    return [("targets (gc on)", ["target", "value", "limit", "status"], cells, 1)] if cells else []


def bounds_tables(doc: dict, markdown: bool) -> list:
    """The bounds section's tables: calls, Zipf trace, memory, resets, registry, threads."""
    if "bounds" not in doc:
        return []
    sec, tables = doc["bounds"], []
    tables.append((f"bounded methods: ns per operation, the implementations of a case timed in "
                   f"turn (best of the repeats); ratio = first row of its case ÷ this row, gc on",
                   CASE_HEADER, case_cells(sec["rows"], markdown), 2))

    z = sec["zipf"]
    k_ns = z["rows"][0]["ns_per_call"]["gc_on"]
    cells = []
    for k, r in enumerate(z["rows"]):
        rep = r.get("reported")
        cells.append([r["impl"], f"{100 * r['hit_ratio']:.2f}%", f"{r['body_runs']:,}",
                      f"{rep['hits']:,} / {rep['misses']:,}" if rep else "",
                      *pair_cells(r["ns_per_call"], fmt_ns, markdown),
                      "" if k == 0 else fmt_ratio(k_ns / r["ns_per_call"]["gc_on"])])
    tables.append((f"Zipf({z['exponent']}) trace, {z['calls']:,} calls over {z['keys']:,} keys "
                   f"({z['distinct_keys_called']:,} of them called; unbounded, "
                   f"{100 * (1 - z['distinct_keys_called'] / z['calls']):.2f}% would hit), "
                   f"maxsize={z['maxsize']}: hit ratio from the body's runs, ns per call; ratio = "
                   "first row ÷ this row, gc on",
                   ["implementation", "hit ratio", "body runs", "cache_info hits / misses",
                    "ns/call gc on", "gc off", "ratio"], cells, 1))

    m = sec["memory"]
    cells = []
    for r in m["rows"]:
        first, last = r["samples"][0], r["samples"][-1]
        cells.append([r["impl"], f"{first['rss'] / 2**20:.1f}", f"{last['rss'] / 2**20:.1f}",
                      f"{100 * r['rss_growth']:+.2f}%", f"{r['blocks_growth']:+,}",
                      f"{r['alive_args_end']:,}", f"{r['alive_args_after_collect']:,}",
                      " ".join(f"{s['rss'] / 2**20:.1f}" for s in r["samples"])])
    tables.append((f"{m['calls']:,} calls, each with a new argument object, under maxsize="
                   f"{m['maxsize']} (a fresh process each, collector enabled): RSS and allocated "
                   "blocks from the first tenth of the calls to the end, argument objects alive "
                   "at the end (weak references)",
                   ["workload", "RSS MB at 10%", "at 100%", "growth", "blocks growth",
                    "args alive", "after collect", "RSS MB by tenth"], cells, 1))

    rs = sec["reset"]
    cells = [[state, f"{st['seconds']:.2f}", " / ".join(f"{c:,}" for c in st["calls"]),
              f"{st['resets']:,}", f"{st['reset_failures']:,}", f"{st['call_failures']:,}",
              f"{st['wrong_values']:,}"] for state, st in rs["storms"].items()]
    tables.append((f"reset_cache() every {rs['every_ms']:g} ms from a third thread while 2 threads "
                   "call decorated methods of the same instance (hits, evicting misses, a call "
                   "that calls another)",
                   ["collector", "seconds", "calls by thread", "resets", "reset failures",
                    "call failures", "wrong values"], cells, 1))
    checks = {"inside": "reset_cache() inside the running decorated call",
              "other_thread": "reset_cache() from another thread while the call computes"}
    cells = [[checks[name], c.get("error") or "none", str(c.get("value")), c.get("call", ""),
              "ok" if c["ok"] else "FAILED"] for name, c in rs["checks"].items()]
    tables.append(("a running call meets reset_cache(): its value is returned, not stored",
                   ["reset", "error", "value returned", "the call afterwards", "check"], cells, 5))

    reg = sec["registry"]
    current, baseline = reg["figures"]["current"], reg["figures"].get("baseline")
    cells = []
    for figure, pair in current.items():
        base = None
        if baseline:
            base = baseline.get(figure) or baseline.get(figure.split(" [")[0] + " [unbounded]")
        on = [fmt_ns(pair["gc_on"]), fmt_ns(base["gc_on"]) if base else "",
              fmt_ratio(pair["gc_on"] / base["gc_on"]) if base else ""]
        off = [fmt_ns(pair["gc_off"]), fmt_ns(base["gc_off"]) if base else "",
               fmt_ratio(pair["gc_off"] / base["gc_off"]) if base else ""]
        cells.append([figure, *on, *off])
    against = f"baseline {reg['baseline']}" if baseline else "no baseline (run with --baseline)"
    tables.append((f"instances ({reg['instances_per_repeat']:,} per repeat, in batches of 1,000 "
                   f"kept alive) and hits, ns each, best of {reg['rounds']} child process(es) per "
                   f"build taken in turn; {against}; a bounded figure is compared with the "
                   "baseline's unbounded one",
                   ["figure", "current", "baseline", "ratio", "gc off: current", "baseline",
                    "ratio"], cells, 1))

    runs = [c for c in reg.get("classwide", []) if c]
    if runs:
        cells = [[f"{c['instances']:,} + {c['idle_instances']:,}", f"{c['first_info_ms']:.1f}",
                  f"{c['second_info_ms']:.1f}", f"{c['clear_ms']:.1f}",
                  f"{c['currsize_after_clear']:,}", f"{c['idle_weakly_referenced']:,}"]
                 for c in runs]
        tables.append(("class-wide calls, one per child process: the first finds the live "
                       "instances among every object the collector tracks; ms",
                       ["instances that ran total() + that never memoised",
                        "first Cls.total.cache_info()", "second", "Cls.total.cache_clear()",
                        "stored after the clear", "idle ones weakly referenced"], cells, 1))

    th = sec["threads"]
    cells = []
    for r in th["rows"]:
        counted = all(c["hits"] == c["expected"] for c in r["hit_counts"])
        cells.append([r["impl"], fmt_ns(r["gc_on"]["cpu_ns_per_op_alone"]),
                      fmt_ratio(r["gc_on"]["cpu_inflation"]),
                      fmt_ratio(r["gc_on"]["throughput_ratio"]),
                      fmt_ratio(r["gc_off"]["cpu_inflation"]),
                      fmt_ratio(r["gc_off"]["throughput_ratio"]),
                      f"{min(r[s]['overlap'] for s in GC_STATES):.2f}",
                      f"{sum(r[s]['refusals'] for s in GC_STATES):,}",
                      "exact" if counted else "WRONG"])
    tables.append((f"2 threads hitting one shared warm instance, median of {th['rounds']} rounds: "
                   "CPU-time inflation and throughput ÷ one thread alone, how much of their run "
                   f"the threads overlapped (below {OVERLAP_WARN}: the figures say little); "
                   "cache_info's hits against the calls made",
                   ["implementation", "CPU ns/op alone", "inflation", "throughput",
                    "gc off: inflation", "gc off: throughput", "overlap", "refusals",
                    "hits counted"], cells, 1))
    return tables


TABLES = (per_op_table, fill_table, clear_table, thread_table, wait_table, memory_table, rounds_table,
          bounds_tables, objects_tables, target_table)


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
