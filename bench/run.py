"""Benchmarks of kestrine against the usual memoisation peers, on one interpreter.

Run through `make bench` (add `BENCH_ARGS=--quick` for a smoke run). Prints a table of
nanoseconds per operation with the ratio kestrine ÷ peer, then the scaling, threading and
memory figures with PASS/MISS markers against the project's targets (markers only: nothing
here fails on a miss), and writes everything as JSON to bench/results/<UTC time>.json and
bench/results/latest.json.

Every timing is the best of several repeats of a fixed number of operations, measured with
time.perf_counter_ns while the cycle collector is disabled. Call loops are generated with the
call written ten times per iteration, so loop overhead is a small part of a hit.
"""

from __future__ import annotations

import argparse
import datetime as dt
import functools
import gc
import inspect
import json
import math
import os
import platform
import subprocess
import sys
import threading
from pathlib import Path
from time import perf_counter_ns, thread_time_ns

import kestrine
from kestrine import KestrineBase, kestrined


def optional_import(name):
    try:
        return __import__(name)
    except Exception:  # any failure to import means: skip this peer
        return None


cachetools = optional_import("cachetools")
methodtools = optional_import("methodtools")

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
UNROLL = 10


# ---------------------------------------------------------------------------------------
# Configuration


class Config:
    def __init__(self, quick: bool):
        self.quick = quick
        self.repeats = 3 if quick else 7
        # Calls per repeat, fixed per implementation so that one repeat takes tens of ms.
        scale = 10 if quick else 1
        self.hit_calls = 500_000 // scale  # kestrine, functools, plain method
        self.cachetools_calls = 100_000 // scale
        self.methodtools_calls = 50_000 // scale
        self.slow_calls = 10_000 // scale  # the inspect emulation
        self.miss_calls = 10_000 if quick else 100_000
        self.scale_small, self.scale_large = (10_000, 100_000) if quick else (20_000, 200_000)
        self.scale_repeats = 2 if quick else 3
        self.dump_calls = 50 if quick else 500
        self.load_calls = 10 if quick else 50
        self.thread_hits = 200_000 if quick else 2_000_000  # total over all threads
        self.thread_fills = 20_000 if quick else 200_000
        self.thread_repeats = 2 if quick else 5
        self.memory_calls = 100_000 if quick else 1_000_000


# ---------------------------------------------------------------------------------------
# Timing helpers


def make_loop(expr: str):
    """A function loop(obj, iterations) -> elapsed ns running `expr` UNROLL times per turn."""
    body = "; ".join([expr] * UNROLL)
    src = (
        "def loop(obj, iterations):\n"
        "    t0 = clock()\n"
        "    for _ in range(iterations):\n"
        f"        {body}\n"
        "    return clock() - t0\n"
    )
    namespace = {"clock": perf_counter_ns}
    exec(compile(src, f"<loop {expr}>", "exec"), namespace)
    return namespace["loop"]


class NoGC:
    def __enter__(self):
        gc.collect()
        self.was_enabled = gc.isenabled()
        gc.disable()

    def __exit__(self, *exc):
        if self.was_enabled:
            gc.enable()


def best_per_op(expr: str, obj, calls: int, repeats: int) -> float:
    """Best-of-`repeats` ns per evaluation of `expr` over `calls` evaluations."""
    loop = make_loop(expr)
    iterations = max(1, calls // UNROLL)
    with NoGC():
        loop(obj, min(iterations, 100))  # warm-up: first call computes, code specialises
        best = min(loop(obj, iterations) for _ in range(repeats))
    return best / (iterations * UNROLL)


def fill_loop(obj, start: int, count: int) -> int:
    f = obj.f
    t0 = perf_counter_ns()
    for i in range(start, start + count):
        f(i)
    return perf_counter_ns() - t0


def miss_loop(obj, start: int, count: int) -> int:
    t0 = perf_counter_ns()
    for i in range(start, start + count):
        obj.miss(i)
    return perf_counter_ns() - t0


# ---------------------------------------------------------------------------------------
# The classes under test


class KArea(KestrineBase):
    @kestrined()
    def area(self, width, height=2):
        return width * height

    @kestrined()
    def total(self):
        return 42


class LruArea:
    @functools.lru_cache(maxsize=None)
    def area(self, width, height=2):
        return width * height

    @functools.lru_cache(maxsize=None)
    def total(self):
        return 42


class CachedPropTotal:
    @functools.cached_property
    def total(self):
        return 42


class PlainArea:
    def area(self, width, height=2):
        return width * height

    def total(self):
        return 42


def utf8_name(item):
    return item[0].encode("utf-8")


def emulated(func):
    """The literal key path in Python: bind, defaults, drop self, sort, hash, look up."""
    name = func.__name__

    def wrapper(self, *args, **kwargs):
        bound = inspect.signature(func).bind(self, *args, **kwargs)
        bound.apply_defaults()
        items = [(k, v) for k, v in bound.arguments.items() if k != "self"]
        items.sort(key=utf8_name)
        key = (name, tuple(items))
        h = hash(key)
        entry = self.emulated_cache.get(h)
        if entry is not None and entry[0] == key:
            return entry[1]
        value = func(self, *args, **kwargs)
        self.emulated_cache[h] = (key, value)
        return value

    return functools.update_wrapper(wrapper, func)


class EmulatedArea:
    def __init__(self):
        self.emulated_cache = {}

    @emulated
    def area(self, width, height=2):
        return width * height

    @emulated
    def total(self):
        return 42


if cachetools is not None:

    class CtArea:
        def __init__(self):
            self.area_cache = {}
            self.total_cache = {}
            self.miss_cache = {}

        @cachetools.cachedmethod(lambda self: self.area_cache)
        def area(self, width, height=2):
            return width * height

        @cachetools.cachedmethod(lambda self: self.total_cache)
        def total(self):
            return 42

        @cachetools.cachedmethod(lambda self: self.miss_cache)
        def miss(self, i):
            return 0


if methodtools is not None:

    class MtArea:
        @methodtools.lru_cache(maxsize=None)
        def area(self, width, height=2):
            return width * height

        @methodtools.lru_cache(maxsize=None)
        def total(self):
            return 42


class KMiss(KestrineBase):
    @kestrined()
    def a(self):
        return 1

    @kestrined()
    def b(self):
        return 2

    @kestrined(dependencies=["a", "b"])
    def miss(self, i):
        return 0


class LruMiss:
    @functools.lru_cache(maxsize=None)
    def miss(self, i):
        return 0


class Fill(KestrineBase):
    @kestrined()
    def f(self, i):
        return 0


class Tree(KestrineBase):
    @kestrined()
    def root(self):
        return 0

    @kestrined(track_runtime_dependencies=True)
    def leaf(self, i):
        return self.root()


def make_dump_class(count: int = 100):
    src = "".join(f"def m{i:03d}(self):\n    return {i}\n\n" for i in range(count))
    namespace: dict = {}
    exec(compile(src, "<generated serialisable methods>", "exec"), namespace)
    attrs = {
        name: kestrined(serialisable=True)(fn)
        for name, fn in namespace.items()
        if name.startswith("m") and callable(fn)
    }
    return type("Dump", (KestrineBase,), attrs)


# ---------------------------------------------------------------------------------------
# Measurements


def hit_cases(cfg: Config) -> dict:
    """ns per hit of obj.area(3) and obj.total() for kestrine and each peer."""
    peers = [("kestrine @kestrined()", KArea, cfg.hit_calls)]
    peers.append(("functools.lru_cache", LruArea, cfg.hit_calls))
    if cachetools is not None:
        peers.append(("cachetools.cachedmethod", CtArea, cfg.cachetools_calls))
    if methodtools is not None:
        peers.append(("methodtools.lru_cache", MtArea, cfg.methodtools_calls))
    peers.append(("inspect emulation", EmulatedArea, cfg.slow_calls))
    peers.append(("plain method (floor)", PlainArea, cfg.hit_calls))

    out = {}
    for case, expr in (("hit obj.area(3)", "obj.area(3)"), ("hit obj.total()", "obj.total()")):
        rows = []
        for label, cls, calls in peers:
            obj = cls()
            rows.append((label, best_per_op(expr, obj, calls, cfg.repeats)))
            if isinstance(obj, KestrineBase) and not obj.validation_state:
                raise RuntimeError(f"{case}: kestrine registered no call")
            if case == "hit obj.total()" and label == "functools.lru_cache":
                ns = best_per_op("obj.total", CachedPropTotal(), cfg.hit_calls, cfg.repeats)
                rows.append(("functools.cached_property", ns))
        out[case] = rows
    return out


def miss_case(cfg: Config) -> list:
    """ns per miss, each call a fresh key; kestrine's method declares two dependencies."""

    def run(make, prepare):
        best = math.inf
        for _ in range(cfg.repeats):
            obj = make()
            prepare(obj)
            with NoGC():
                best = min(best, miss_loop(obj, 1_000, cfg.miss_calls))
            del obj
        return best / cfg.miss_calls

    def prepare_k(obj):
        obj.a()
        obj.b()
        obj.miss(0)

    rows = [("kestrine dependencies=['a','b']", run(KMiss, prepare_k))]

    def fresh_lru():
        LruMiss.miss.cache_clear()
        return LruMiss()

    rows.append(("functools.lru_cache", run(fresh_lru, lambda o: o.miss(0))))
    LruMiss.miss.cache_clear()
    if cachetools is not None:
        rows.append(("cachetools.cachedmethod", run(CtArea, lambda o: o.miss(0))))
    return rows


def fill_case(cfg: Config) -> dict:
    totals = {}
    for n in (cfg.scale_small, cfg.scale_large):
        best = math.inf
        for _ in range(cfg.scale_repeats):
            obj = Fill()
            with NoGC():
                best = min(best, fill_loop(obj, 1_000, n))
            del obj
        totals[n] = best
    return totals


def clear_tree_case(cfg: Config) -> tuple[dict, list]:
    totals, problems = {}, []
    for n in (cfg.scale_small, cfg.scale_large):
        best = math.inf
        for _ in range(cfg.scale_repeats):
            obj = Tree()
            leaf = obj.leaf
            for i in range(n):
                leaf(i)
            if not obj.is_cached("leaf", i=n - 1):
                problems.append(f"clear tree N={n}: leaf not cached before the clear")
            with NoGC():
                t0 = perf_counter_ns()
                obj.clear_cached_value("root")
                elapsed = perf_counter_ns() - t0
            if obj.is_cached("leaf", i=0) or obj.is_cached("leaf", i=n - 1):
                problems.append(f"clear tree N={n}: a leaf is still cached after the clear")
            best = min(best, elapsed)
            del obj, leaf
        totals[n] = best
    return totals, problems


def dump_load_case(cfg: Config) -> dict:
    Dump = make_dump_class(100)
    obj = Dump()
    data = obj.dump_cache()
    if len(data) != 100 or data.get("m007") != 7:
        raise RuntimeError(f"dump_cache returned an unexpected dict of {len(data)} entries")
    target = Dump()
    target.load_cache(data)
    dump_ns = best_per_op("obj.dump_cache()", obj, cfg.dump_calls, cfg.repeats)
    load_ns = best_per_op("obj[0].load_cache(obj[1])", (target, data), cfg.load_calls,
                          cfg.repeats)
    if target.get_cached_value("m042") != 42:
        raise RuntimeError("load_cache did not leave the loaded value in the cache")
    return {"methods": 100, "dump_ns": dump_ns, "load_ns": load_ns}


# -- threads ---------------------------------------------------------------------------


def _thread_run(units_per_thread: int, nthreads: int, unit) -> tuple[int, int]:
    """(wall ns, summed thread CPU ns) of `nthreads` threads, each doing `units_per_thread` units.

    Each worker calls `unit()` before the start barrier, in its own thread (so each thread
    creates its own instance); the callable it returns does one unit of timed work.
    """
    barrier = threading.Barrier(nthreads)
    starts, ends, cpu, errors = [0] * nthreads, [0] * nthreads, [0] * nthreads, []

    def worker(idx):
        try:
            jobs = [unit() for _ in range(units_per_thread)]
            barrier.wait()
            cpu[idx] = -thread_time_ns()
            starts[idx] = perf_counter_ns()
            for job in jobs:
                job()
            ends[idx] = perf_counter_ns()
            cpu[idx] += thread_time_ns()
        except BaseException as exc:  # reported after join
            errors.append(exc)
            barrier.abort()

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(nthreads)]
    with NoGC():
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    if errors:
        raise errors[0]
    return max(ends) - min(starts), sum(cpu)


def thread_cases(cfg: Config) -> list:
    """Same total work: one thread on two instances in turn, or two threads on one each."""
    hit_loop = make_loop("obj.area(3)")
    hit_iterations = cfg.thread_hits // 2 // UNROLL

    def hit_unit(cls):
        def prepare():
            obj = cls()
            hit_loop(obj, 10)
            return lambda: hit_loop(obj, hit_iterations)

        return prepare

    def fill_unit():
        obj = Fill()
        obj.f(0)
        return lambda: fill_loop(obj, 1_000, cfg.thread_fills // 2)

    cases = [
        ("kestrine hit obj.area(3)", hit_unit(KArea), cfg.thread_hits),
        ("kestrine fill obj.f(i)", fill_unit, cfg.thread_fills),
        ("plain method (control)", hit_unit(PlainArea), cfg.thread_hits),
    ]
    rows = []
    for label, unit, ops in cases:
        one, one_cpu = min(_thread_run(2, 1, unit) for _ in range(cfg.thread_repeats))
        two, two_cpu = min(_thread_run(1, 2, unit) for _ in range(cfg.thread_repeats))
        rows.append({
            "case": label,
            "ops": ops,
            "one_thread_ops_per_s": ops / one * 1e9,
            "two_threads_ops_per_s": ops / two * 1e9,
            "ratio": one / two,
            # CPU time per operation: with two threads running at the same time, a rise
            # over one thread points at contention (shared cache lines, atomics).
            "one_thread_cpu_ns_per_op": one_cpu / ops,
            "two_threads_cpu_ns_per_op": two_cpu / ops,
        })
    return rows


# -- memory ----------------------------------------------------------------------------


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(n: int) -> dict:
    """Runs in a fresh process so that freed memory of other cases is not reused."""
    obj = Fill()
    obj.f(-1)
    start = 1_000  # above the preallocated small ints: every argument is a new int
    representative = ("f", (("i", start + 12_345),))
    python_per_call = (
        sys.getsizeof(representative)
        + sys.getsizeof(representative[1])
        + sys.getsizeof(representative[1][0])
        + sys.getsizeof(representative[1][0][1])
    )
    gc.collect()
    gc.disable()
    before = rss_bytes()
    f = obj.f
    for i in range(start, start + n):
        f(i)
    after = rss_bytes()
    if not obj.is_cached("f", i=start + n - 1):
        raise RuntimeError("the last call of the memory run is not cached")
    delta = after - before
    return {
        "calls": n,
        "rss_delta_bytes": delta,
        "python_objects_bytes_per_call": python_per_call,
        "rss_bytes_per_call": delta / n,
        "native_bytes_per_call": (delta - python_per_call * n) / n,
    }


def memory_case(cfg: Config) -> dict:
    proc = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--memory-child", str(cfg.memory_calls)],
        capture_output=True, text=True, check=False,
    )
    if proc.returncode != 0:
        raise RuntimeError(f"memory child failed: {proc.stderr.strip()[-2000:]}")
    return json.loads(proc.stdout)


# ---------------------------------------------------------------------------------------
# Report


def fmt_ns(ns: float) -> str:
    return f"{ns:,.1f}" if ns < 10_000 else f"{ns:,.0f}"


def target(name, value, limit, op) -> dict:
    ok = value <= limit if op == "<=" else value >= limit
    return {"target": name, "value": value, "op": op, "limit": limit,
            "status": "PASS" if ok else "MISS"}


def git_revision() -> str | None:
    try:
        rev = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, timeout=10)
        dirty = subprocess.run(["git", "-C", str(HERE), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.SubprocessError):
        return None
    if rev.returncode != 0:
        return None
    return rev.stdout.strip() + ("+dirty-src" if dirty.stdout.strip() else "")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small counts, for a smoke run")
    parser.add_argument("--memory-child", type=int, metavar="N", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        print(json.dumps(memory_child(args.memory_child)))
        return 0

    cfg = Config(args.quick)
    run_started = perf_counter_ns()
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    peers = {
        "cachetools": getattr(cachetools, "__version__", "?") if cachetools else None,
        "methodtools": getattr(methodtools, "__version__", "?") if methodtools else None,
    }
    info = {
        "python": sys.version.split()[0],
        "implementation": sys.version,
        "gil_enabled": gil,
        "kestrine": getattr(kestrine, "__file__", "?"),
        "revision": git_revision(),
        "cpus": os.cpu_count(),
        "loadavg_at_start": list(os.getloadavg()),
        "machine": platform.machine(),
        "mode": "quick" if cfg.quick else "full",
        "repeats": cfg.repeats,
        "peers": peers,
    }
    print(f"kestrine benchmarks ({info['mode']}): CPython {info['python']}, "
          f"GIL {'ENABLED' if gil else 'disabled'}, {info['cpus']} CPUs, "
          f"load {' '.join(f'{x:.2f}' for x in info['loadavg_at_start'])}, "
          f"revision {info['revision']}")
    print(f"best of {cfg.repeats} repeats of a fixed number of operations, "
          f"perf_counter_ns, cycle collector off while timing")
    skipped = [name for name, version in peers.items() if version is None]
    if skipped:
        print(f"skipped peers (not importable): {', '.join(skipped)}")
    if gil:
        print("WARNING: the GIL is enabled; the thread figures mean nothing")
    print(flush=True)

    hits = hit_cases(cfg)
    misses = miss_case(cfg)
    fills = fill_case(cfg)
    clears, problems = clear_tree_case(cfg)
    dumps = dump_load_case(cfg)
    threads = thread_cases(cfg)
    memory = memory_case(cfg)

    # -- table of per-operation costs
    width = 44
    print(f"{'case':<{width}} {'ns/op':>12} {'kestrine ÷ peer':>17}")
    print("-" * (width + 31))
    table = []
    groups = [(case, rows) for case, rows in hits.items()]
    groups.append(("miss, fresh key each call (two declared deps)", misses))
    for case, rows in groups:
        print(case)
        ours = rows[0][1]
        for label, ns in rows:
            ratio = ours / ns
            print(f"  {label:<{width - 2}} {fmt_ns(ns):>12} {ratio:>17.3f}")
            table.append({"case": case, "impl": label, "ns_per_op": ns,
                          "kestrine_div_peer": ratio})
    print("dump/load of 100 serialisable methods (warm instance)")
    for label, key in (("dump_cache()", "dump_ns"), ("load_cache(data)", "load_ns")):
        ns = dumps[key]
        print(f"  {label:<{width - 2}} {fmt_ns(ns):>12} {'':>17}")
        print(f"  {'  per method':<{width - 2}} {fmt_ns(ns / dumps['methods']):>12}")
    print()

    small, large = cfg.scale_small, cfg.scale_large
    fill_ratio = fills[large] / fills[small]
    clear_ratio = clears[large] / clears[small]
    print(f"{'scaling (one fresh instance)':<{width}} {'N':>9} {'total ms':>10} {'ns/item':>9}")
    print("-" * (width + 31))
    for label, totals in (("fill N distinct keys f(i)", fills),
                          ("clear_cached_value('root'), N dependents", clears)):
        for n in (small, large):
            print(f"  {label:<{width - 2}} {n:>9,} {totals[n] / 1e6:>10.2f} "
                  f"{totals[n] / n:>9.1f}")
    print(f"  fill   {large:,} ÷ {small:,}: {fill_ratio:.2f}   (linear growth gives "
          f"{large / small:.0f})")
    print(f"  clear  {large:,} ÷ {small:,}: {clear_ratio:.2f}")
    print()

    print(f"{'threads (same total work)':<{width - 12}} {'1 thread/s':>12} {'2 threads/s':>12} "
          f"{'2 ÷ 1':>6} {'CPU ns/op 1T':>13} {'2T':>6}")
    print("-" * (width + 31))
    for row in threads:
        print(f"  {row['case']:<{width - 14}} {row['one_thread_ops_per_s']:>12,.0f} "
              f"{row['two_threads_ops_per_s']:>12,.0f} {row['ratio']:>6.2f} "
              f"{row['one_thread_cpu_ns_per_op']:>13.1f} {row['two_threads_cpu_ns_per_op']:>6.1f}")
    busy = info["loadavg_at_start"][0]
    if busy > (info["cpus"] or 1) - 0.5:
        print(f"  note: load average {busy:.2f} on {info['cpus']} CPUs at the start: other work "
              f"competes for the cores, so compare with the control row")
    print()

    print(f"memory: {memory['calls']:,} distinct calls f(i) -> 0 on one instance: RSS "
          f"+{memory['rss_delta_bytes'] / 2**20:.1f} MiB = {memory['rss_bytes_per_call']:.1f} "
          f"B/call, minus {memory['python_objects_bytes_per_call']} B/call of key objects "
          f"(key, items, pair, int) = {memory['native_bytes_per_call']:.1f} native B/call")
    print()

    def ns_of(case, impl):
        return next(ns for label, ns in hits[case] if label == impl)

    area_k = ns_of("hit obj.area(3)", "kestrine @kestrined()")
    total_k = ns_of("hit obj.total()", "kestrine @kestrined()")
    targets = [
        target("area hit: kestrine ÷ lru_cache", area_k / ns_of("hit obj.area(3)",
               "functools.lru_cache"), 1.5, "<="),
        target("total hit: kestrine ÷ cached_property", total_k / ns_of(
            "hit obj.total()", "functools.cached_property"), 2.5, "<="),
        target("area hit: inspect emulation ÷ kestrine", ns_of(
            "hit obj.area(3)", "inspect emulation") / area_k, 50, ">="),
        target("total hit: inspect emulation ÷ kestrine", ns_of(
            "hit obj.total()", "inspect emulation") / total_k, 50, ">="),
        target(f"fill {large:,} ÷ fill {small:,}", fill_ratio, 11, "<="),
        target(f"clear tree {large:,} ÷ clear tree {small:,}", clear_ratio, 11, "<="),
        target("two threads ÷ one thread (kestrine hit)", threads[0]["ratio"], 1.6, ">="),
        target("native bytes per registered call", memory["native_bytes_per_call"], 128, "<="),
    ]
    print(f"{'target':<{width}} {'value':>10}  {'limit':>8}  status")
    print("-" * (width + 31))
    for t in targets:
        print(f"  {t['target']:<{width - 2}} {t['value']:>10.2f}  {t['op']} {t['limit']:<5}  "
              f"{t['status']}")
    for problem in problems:
        print(f"PROBLEM: {problem}")
    elapsed = (perf_counter_ns() - run_started) / 1e9
    info["loadavg_at_end"] = list(os.getloadavg())
    print(f"\nrun took {elapsed:.1f} s; load average at the end "
          f"{' '.join(f'{x:.2f}' for x in info['loadavg_at_end'])}")

    stamp = dt.datetime.now(dt.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
    document = {
        "timestamp_utc": stamp,
        "info": info,
        "elapsed_s": elapsed,
        "per_op": table,
        "dump_load": dumps,
        "fill": {"totals_ns": {str(k): v for k, v in fills.items()}, "ratio": fill_ratio},
        "clear_tree": {"totals_ns": {str(k): v for k, v in clears.items()},
                       "ratio": clear_ratio},
        "threads": threads,
        "memory": memory,
        "targets": targets,
        "problems": problems,
    }
    RESULTS.mkdir(exist_ok=True)
    name = f"{stamp}{'-quick' if cfg.quick else ''}.json"
    text = json.dumps(document, indent=2) + "\n"
    for path in (RESULTS / name, RESULTS / "latest.json"):
        tmp = path.with_suffix(".json.tmp")
        tmp.write_text(text)
        tmp.replace(path)
    print(f"results written to {(RESULTS / name).relative_to(HERE.parent)} and "
          f"bench/results/latest.json")
    return 0


if __name__ == "__main__":
    sys.exit(main())
