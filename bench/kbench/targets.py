"""Targets: PASS/MISS markers computed from whatever sections a result document holds."""

from __future__ import annotations

from .timing import GC_STATES


def find(rows, **match):
    return next((r for r in rows if all(r.get(k) == v for k, v in match.items())), None)


def target(name, value, limit, op="<=") -> dict:
    ok = {"<=": value <= limit, "<": value < limit, ">=": value >= limit}[op]
    return {"target": name, "value": value, "op": op, "limit": limit,
            "status": "PASS" if ok else "MISS"}


def targets(doc: dict) -> list:
    out = []
    if "hits" in doc:
        rows = doc["hits"]["rows"]

        def hit(case, impl):
            return find(rows, case=case, impl=impl)["ns"]["gc_on"]

        area, total = "hit obj.area(3)", "hit obj.total()"
        k_area, k_total = hit(area, "kestrine @kestrined()"), hit(total, "kestrine @kestrined()")
        # The 3.14-era interpreter specialises method lookups and makes plain methods fast;
        # its targets are set against the plain method as well.
        snapshot = doc.get("info", {}).get("interpreter_id", "default") != "default"
        lru_limit, total_limit = (0.7, 1.1) if snapshot else (1.0, 1.3)
        out += [
            target("area(3) hit: kestrine ÷ lru_cache", k_area / hit(area, "functools.lru_cache"),
                   lru_limit),
            target("total() hit: kestrine ÷ cached_property",
                   k_total / hit(total, "functools.cached_property"), total_limit),
            target("area(3) hit: inspect emulation ÷ kestrine",
                   hit(area, "inspect emulation") / k_area, 50, ">="),
            target("total() hit: inspect emulation ÷ kestrine",
                   hit(total, "inspect emulation") / k_total, 50, ">="),
        ]
        if snapshot:
            out.append(target("area(3) hit: kestrine ÷ plain method",
                              k_area / hit(area, "plain method (floor)"), 1.5))
        if any(r["case"].startswith("store") for r in rows):
            store = "store obj.x = 5"
            out.append(target("attribute store: KestrineBase subclass ÷ plain class",
                              hit(store, "KestrineBase subclass") / hit(store, "plain class"),
                              1.5 if snapshot else 1.1))
    if "instances" in doc:
        inst = doc["instances"]
        create = [r["ns"]["gc_on"] for r in inst["rows"]]
        out += [target("KestrineBase.__basicsize__", inst["basicsize"]["KestrineBase"], 48),
                target("create an instance: KestrineBase subclass ÷ plain", create[0] / create[1],
                       1.2)]
    if "fills" in doc:
        curves = {c["impl"]: c["ns_per_miss"]["gc_on"] for c in doc["fills"]["curves"]}
        ours = curves["kestrine"]
        out += [target("fill, first chunk: kestrine ÷ lru_cache per miss",
                       ours[0] / curves["functools.lru_cache"][0], 1.0),
                target("fill: kestrine last chunk ÷ first chunk", ours[-1] / ours[0], 1.5)]
    if "clear" in doc:
        clear = doc["clear"]
        out.append(target("clear tree: large N ÷ small N (total time)", clear["ratio"]["gc_on"],
                          round(clear["linear"] * 1.1, 1)))
    if "threads" in doc:
        rows = doc["threads"]["rows"]

        def inflation(impl):
            return find(rows, impl=impl, threads=2, instances="own")["gc_on"]["cpu_inflation"]

        def throughput(impl, instances="own"):
            return find(rows, impl=impl, threads=2, instances=instances)["gc_on"][
                "throughput_ratio"]

        plain = inflation("plain method obj.area(3)")
        plain_throughput = throughput("plain method obj.area(3)")
        snapshot = doc.get("info", {}).get("interpreter_id", "default") != "default"
        for impl in ("kestrine obj.area(3)", "kestrine obj.total()"):
            out.append(target(f"2-thread CPU inflation, {impl} (limit: plain + 0.2)",
                              inflation(impl), round(plain + 0.2, 2)))
            if snapshot:
                out.append(target(f"2-thread throughput, own instances, {impl} ÷ plain method",
                                  throughput(impl) / plain_throughput, 0.9, ">="))
                out.append(target(f"2-thread throughput, one shared instance, {impl}",
                                  throughput(impl, "shared"), 1.6, ">="))
            else:
                out.append(target(f"2-thread throughput, shared ÷ own instances, {impl} "
                                  f"(limit: own - 0.1)", throughput(impl, "shared"),
                                  round(throughput(impl) - 0.1, 2), ">="))
        crowd = [r for r in rows if "other shared instances read first" in r["impl"]]
        if snapshot and crowd:
            out.append(target(f"2-thread throughput, one shared instance, {crowd[0]['impl']}",
                              crowd[0]["gc_on"]["throughput_ratio"], 1.6, ">="))
        for w in doc["threads"].get("waits", []):
            out.append(target(f"CPU of a 100 ms wait ({w['request']}), ms", w["cpu_ms"], 10))
        refusals = sum(r[s]["refusals"] for r in rows for s in GC_STATES
                       if r["instances"] == "shared" and r["impl"].startswith("kestrine"))
        out.append(target("refusals among warm hits on one shared instance", refusals, 0))
    if "rounds" in doc:
        for r in doc["rounds"]["rows"]:
            if r["impl"] in ("kestrine + clear_cache", "resolver: kestrine + reset_cache"):
                out.append(target(f"rounds, {r['impl']}: live nodes after the last round",
                                  r["live_nodes"][-1], 0))
    if "bounds" in doc:
        out += bounds_targets(doc)
    if "objects" in doc:
        out += objects_targets(doc)
    if "memory" in doc:
        per_entry = {r["impl"]: r["bytes_each"] for r in doc["memory"]["rows"]}
        ours = per_entry["kestrine"]
        out += [target("bytes per entry, kestrine", ours, 128),
                target("bytes per entry, kestrine ÷ lru_cache", ours / per_entry[
                    "functools.lru_cache"], 1.0, "<")]
    return out


def objects_targets(doc: dict) -> list:
    """Nodes built and then called: build + call per node against the plain class on the
    default interpreter, against cached_property on the 3.14-era one."""
    rows = {r["impl"]: r for r in doc["objects"]["rows"]}
    snapshot = doc.get("info", {}).get("interpreter_id", "default") != "default"

    def total(impl):
        return rows[impl]["total_ns"]["gc_on"]

    ours, stores = "kestrine @kestrined()", "kestrine, specialised_stores=True"
    plain, cached = "plain class (floor)", "functools.cached_property"
    if not snapshot:
        return [target("objects, build + call per node: kestrine ÷ plain class",
                       total(ours) / total(plain), 1.1)]
    out = [target("objects, build + call per node: kestrine ÷ cached_property",
                  total(ours) / total(cached), 1.05)]
    if stores in rows:
        out += [target("objects, build + call per node: specialised_stores ÷ cached_property",
                       total(stores) / total(cached), 1.0),
                target("objects, build per node: specialised_stores ÷ plain class",
                       rows[stores]["build_ns"]["gc_on"] / rows[plain]["build_ns"]["gc_on"],
                       1.2)]
    return out


def bounds_targets(doc: dict) -> list:
    sec, out = doc["bounds"], []
    snapshot = doc.get("info", {}).get("interpreter_id", "default") != "default"
    rows, bound = sec["rows"], sec["bound"]

    def ns(case_start, impl):
        return next(r["ns"]["gc_on"] for r in rows
                    if r["case"].startswith(case_start) and r["impl"] == impl)

    ours, lru = f"kestrine maxsize={bound}", f"functools.lru_cache(maxsize={bound})"
    for case in ("hit obj.area(3)", "hit obj.total()"):
        out.append(target(f"{case}: maxsize={bound} ÷ unbounded",
                          ns(case, ours) / ns(case, "kestrine unbounded"), 1.05))
        out.append(target(f"{case}: kestrine maxsize={bound} ÷ lru_cache(maxsize={bound})",
                          ns(case, ours) / ns(case, lru), 1.0))
    out.append(target(f"miss that evicts: kestrine ÷ lru_cache(maxsize={bound})",
                      ns("miss that evicts", ours) / ns("miss that evicts", lru), 1.0))

    z = {r["impl"]: r for r in sec["zipf"]["rows"]}
    zk, zl = z[f"kestrine maxsize={sec['zipf']['maxsize']}"], z[
        f"functools.lru_cache(maxsize={sec['zipf']['maxsize']})"]
    out.append(target("Zipf trace: hit ratio, lru_cache − kestrine (percentage points)",
                      round(100 * (zl["hit_ratio"] - zk["hit_ratio"]), 2), 2))
    out.append(target("Zipf trace: ns per call, kestrine ÷ lru_cache",
                      zk["ns_per_call"]["gc_on"] / zl["ns_per_call"]["gc_on"], 1.0, "<"))
    out.append(target("Zipf trace: cache_info counts that disagree with the body's runs", sum(
        not r.get("counts_agree", True) for r in sec["zipf"]["rows"]), 0))

    for r in sec["memory"]["rows"]:
        if r["impl"].startswith("kestrine"):
            what = r["impl"].split(", ", 1)[1]
            out.append(target(f"memory, {what}: RSS growth after the first 10%, % either way",
                              round(abs(100 * r["rss_growth"]), 2), 5))
            out.append(target(f"memory, {what}: argument objects alive at the end",
                              r["alive_args_end"], sec["memory"]["maxsize"]))

    storms = sec["reset"]["storms"].values()
    out.append(target("reset_cache every 2 ms amid calls: reset failures",
                      sum(s["reset_failures"] for s in storms), 0))
    out.append(target("reset_cache every 2 ms amid calls: failed or wrong calls",
                      sum(s["call_failures"] + s["wrong_values"] for s in storms), 0))
    out.append(target("reset_cache meeting a running call: failed checks",
                      sum(not c["ok"] for c in sec["reset"]["checks"].values()), 0))

    figures = sec["registry"]["figures"]
    if "baseline" in figures:
        current, baseline = figures["current"], figures["baseline"]
        for figure in ("create + first call total()", "create + first calls total(), area(3)",
                       "end after total()", "end after total(), area(3)",
                       "hit obj.area(3)", "hit obj.total()"):
            for variant in ("unbounded", f"maxsize={bound}"):
                if figure.startswith("hit") and variant == "unbounded":
                    continue  # the bounded hit says it: a bound and the counts
                if not figure.startswith("hit") and variant != "unbounded":
                    continue
                mine = current[f"{figure} [{variant}]"]["gc_on"]
                theirs = baseline[f"{figure} [unbounded]"]["gc_on"]
                out.append(target(f"{figure} [{variant}]: current ÷ baseline unbounded",
                                  mine / theirs, 1.05))

    threads = {r["impl"]: r for r in sec["threads"]["rows"]}
    for expr in ("obj.area(3)", "obj.total()"):
        bounded = threads[f"kestrine maxsize={bound} {expr}"]["gc_on"]["throughput_ratio"]
        if snapshot:
            out.append(target(f"2-thread throughput, one shared instance, maxsize={bound} {expr}",
                              bounded, 1.6, ">="))
        else:
            unbounded = threads[f"kestrine unbounded {expr}"]["gc_on"]["throughput_ratio"]
            out.append(target(f"2-thread throughput, one shared instance, maxsize={bound} {expr}"
                              f" (limit: unbounded - 0.1)", bounded, round(unbounded - 0.1, 2),
                              ">="))
    out.append(target("2 threads on a shared instance: cache_info hits miscounted",
                      sum(c["hits"] != c["expected"] for r in threads.values()
                          for c in r["hit_counts"]), 0))
    return out
