"""Benchmarks of kestrine against the usual memoisation peers, on one interpreter.

Run through `make bench`: `BENCH_ARGS=--quick` is a smoke run with small counts,
`BENCH_ARGS="--section threads"` runs one section alone (repeatable, or comma-separated).
Sections:

  hits       ns per hit of obj.area(3) and obj.total() against each peer
  misses     ns per miss, a fresh key each call, on a method with two declared dependencies
  dump       dump_cache / load_cache of 100 serialisable methods
  instances  instance creation time, __basicsize__, RSS per instance that never memoises
  fills      ns per miss in each 50k-call chunk of a 400k-call fill of one instance
  clear      clear_cached_value of a root with N run-time dependents, for two sizes of N
  threads    CPU-time inflation and throughput of 1, 2 and os.cpu_count() threads
  memory     bytes per entry at 1,000,000 entries (RSS delta, a fresh process each)
  rounds     live nodes and RSS over rounds of a program that builds, infers and drops trees

Every figure is taken with the cyclic garbage collector enabled, as programs run; the same
measurement with the collector disabled is recorded beside it as gc_off (with fewer
repeats). A single-thread timing is the best of several repeats of a fixed number of
operations (perf_counter_ns). Hit loops are generated with the call written ten times per
iteration, so loop overhead is a small part of a hit.

Prints the tables with PASS/MISS markers against the project's targets (markers only:
nothing here fails on a miss) and writes everything as JSON to bench/results/<UTC time>.json;
a run of every section also to bench/results/latest.json. `--markdown [FILE ...]` prints the
README's performance tables from result files instead (default: latest.json; a later file's
sections replace an earlier one's, so a re-run of one section can be combined with a full run).
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
import statistics
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path
from time import perf_counter_ns, thread_time_ns
from typing import Any

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
ARG_BASE = 1_000_000  # arguments from here up are distinct int objects, not shared small ints
GC_STATES = ("gc_on", "gc_off")
SECTIONS = ("hits", "misses", "dump", "instances", "fills", "clear", "threads", "memory",
            "rounds")
LRU_WRAPPER = type(functools.lru_cache(maxsize=None)(lambda: None))


# ---------------------------------------------------------------------------------------
# Configuration


class Config:
    """Counts per measurement. A (gc on, gc off) pair gives the repeats of each column."""

    def __init__(self, quick: bool):
        self.quick = quick
        scale = 10 if quick else 1
        self.repeats = (2, 1) if quick else (7, 3)
        # Calls per repeat, fixed per implementation so that one repeat takes tens of ms.
        self.hit_calls = 500_000 // scale  # kestrine, functools, plain method
        self.cachetools_calls = 100_000 // scale
        self.methodtools_calls = 50_000 // scale
        self.slow_calls = 10_000 // scale  # the inspect emulation
        self.create_calls = 200_000 // scale
        self.miss_calls = 100_000 // scale
        self.dump_calls = 500 // scale
        self.load_calls = 50 // scale
        self.fill_chunk = 50_000 // scale
        self.fill_chunks = 8
        self.fill_repeats = (1, 1) if quick else (3, 2)
        self.clear_sizes = (10_000, 100_000) if quick else (20_000, 200_000)
        self.clear_repeats = (1, 1) if quick else (3, 2)
        self.thread_calls = 1_500_000 // scale  # hits per thread per run
        self.thread_fills = 50_000 // scale  # misses per thread per run
        self.thread_rounds = 3 if quick else 5
        self.memory_entries = 1_000_000 // scale
        self.instance_count = 100_000 // scale


# ---------------------------------------------------------------------------------------
# Timing helpers


def compile_loop(src: str, name: str):
    """The function `loop` defined by `src`, compiled anew so each caller specialises alone."""
    namespace = {"clock": perf_counter_ns}
    exec(compile(src, f"<loop {name}>", "exec"), namespace)
    return namespace["loop"]


def make_loop(expr: str, count_refusals: bool = False):
    """loop(obj, iterations) evaluating `expr` UNROLL times per turn.

    Returns the elapsed ns; with count_refusals, each evaluation catches RuntimeError and the
    loop returns how many it caught instead (the caller times it).
    """
    if count_refusals:
        step = f"try:\n    {expr}\nexcept RuntimeError:\n    refused += 1\n"
        return compile_loop(
            "def loop(obj, iterations):\n"
            "    refused = 0\n"
            "    for _ in range(iterations):\n"
            f"{textwrap.indent(step * UNROLL, ' ' * 8)}"
            "    return refused\n",
            expr,
        )
    return compile_loop(
        "def loop(obj, iterations):\n"
        "    t0 = clock()\n"
        "    for _ in range(iterations):\n"
        f"        {'; '.join([expr] * UNROLL)}\n"
        "    return clock() - t0\n",
        expr,
    )


def make_arg_loop(call: str):
    """loop(obj, args) -> elapsed ns of `call` once for each `a` in args."""
    return compile_loop(
        "def loop(obj, args):\n"
        "    t0 = clock()\n"
        "    for a in args:\n"
        f"        {call}\n"
        "    return clock() - t0\n",
        call,
    )


def make_args(count: int) -> list:
    return list(range(ARG_BASE, ARG_BASE + count))


class GCState:
    """A block run with the cyclic collector enabled or disabled, after a full collection."""

    def __init__(self, enabled: bool):
        self.enabled = enabled

    def __enter__(self):
        self.was_enabled = gc.isenabled()
        gc.collect()
        gc.enable() if self.enabled else gc.disable()

    def __exit__(self, *exc):
        gc.enable() if self.was_enabled else gc.disable()


def gc_pair(measure, repeats: tuple[int, int]) -> dict:
    """{"gc_on": measure(True, n_on), "gc_off": measure(False, n_off)}: one figure, two columns."""
    return {state: measure(state == "gc_on", n) for state, n in zip(GC_STATES, repeats)}


def best_of(run_once, gc_on: bool, repeats: int) -> float:
    """Smallest result of `run_once()` (elapsed ns) over `repeats` runs in the collector state."""
    best = math.inf
    for _ in range(repeats):
        with GCState(gc_on):
            best = min(best, run_once())
    return best


def per_op(expr: str, obj, calls: int, cfg: Config) -> dict:
    """ns per evaluation of `expr` on `obj`, best of the repeats of `calls` evaluations."""
    loop = make_loop(expr)
    iterations = max(1, calls // UNROLL)
    loop(obj, min(iterations, 100))  # warm-up: first call computes, code specialises
    return gc_pair(
        lambda gc_on, n: best_of(lambda: loop(obj, iterations), gc_on, n) / (iterations * UNROLL),
        cfg.repeats,
    )


def reset(cls) -> None:
    """Empties the caches a class keeps for all its instances (functools.lru_cache)."""
    for attr in vars(cls).values():
        if isinstance(attr, LRU_WRAPPER):
            attr.cache_clear()


def fresh(cls):
    """A new instance whose caches are empty."""
    reset(cls)
    return cls()


def row(case: str, impl: str, ns: dict, **extra) -> dict:
    return {"case": case, "impl": impl, "ns": ns, **extra}


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


# One memoised method f(i) -> 0 per implementation, for fills and memory. entries() counts
# what the cache holds (read after the measurement).


class Fill(KestrineBase):
    @kestrined()
    def f(self, i):
        return 0

    def entries(self):
        return len(self.validation_state)


class LruFill:
    @functools.lru_cache(maxsize=None)
    def f(self, i):
        return 0

    def entries(self):
        return type(self).f.cache_info().currsize


MISSING = object()


class DictFill:
    """The hand-written memo: a dict per instance keyed by the argument tuple."""

    def __init__(self):
        self.memo = {}

    def f(self, i):
        key = (i,)
        value = self.memo.get(key, MISSING)
        if value is MISSING:
            value = self.memo[key] = 0
        return value

    def entries(self):
        return len(self.memo)


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

    class CtFill:
        def __init__(self):
            self.cache = {}

        @cachetools.cachedmethod(lambda self: self.cache)
        def f(self, i):
            return 0

        def entries(self):
            return len(self.cache)


if methodtools is not None:

    class MtArea:
        @methodtools.lru_cache(maxsize=None)
        def area(self, width, height=2):
            return width * height

        @methodtools.lru_cache(maxsize=None)
        def total(self):
            return 42


class Tree(KestrineBase):
    @kestrined()
    def root(self):
        return 0

    @kestrined(track_runtime_dependencies=True)
    def leaf(self, i):
        return self.root()


class KInstance(KestrineBase):
    """A class with a memoised method whose instances never call it."""

    @kestrined()
    def value(self):
        return 1


class PlainInstance:
    def value(self):
        return 1


def make_dump_class(count: int = 100):
    src = "".join(f"def m{i:03d}(self):\n    return {i}\n\n" for i in range(count))
    namespace: dict = {}
    exec(compile(src, "<generated serialisable methods>", "exec"), namespace)
    attrs: dict[str, Any] = {
        name: kestrined(serialisable=True)(fn)
        for name, fn in namespace.items()
        if name.startswith("m") and callable(fn)
    }
    return type("Dump", (KestrineBase,), attrs)


FILL_IMPLS = [("kestrine", Fill), ("functools.lru_cache", LruFill)]
if cachetools is not None:
    FILL_IMPLS.append(("cachetools.cachedmethod", CtFill))
FILL_IMPLS.append(("dict memo", DictFill))
INSTANCE_IMPLS = [("KestrineBase subclass", KInstance), ("plain class", PlainInstance)]


# ---------------------------------------------------------------------------------------
# Sections: each returns a JSON-ready dict


def section_hits(cfg: Config) -> dict:
    """ns per hit of obj.area(3) and obj.total(); kestrine first, then its target's peer."""
    peers: list[tuple[str, Any, int]] = [("functools.lru_cache", LruArea, cfg.hit_calls)]
    if cachetools is not None:
        peers.append(("cachetools.cachedmethod", CtArea, cfg.cachetools_calls))
    if methodtools is not None:
        peers.append(("methodtools.lru_cache", MtArea, cfg.methodtools_calls))
    peers.append(("inspect emulation", EmulatedArea, cfg.slow_calls))
    peers.append(("plain method (floor)", PlainArea, cfg.hit_calls))
    ours = ("kestrine @kestrined()", KArea, cfg.hit_calls)
    cases = [
        ("hit obj.area(3)", "obj.area(3)", [ours, *peers]),
        ("hit obj.total()", "obj.total()",
         [ours, ("functools.cached_property", CachedPropTotal, cfg.hit_calls), *peers]),
        # An ordinary attribute: KestrineBase checks the name against the decorated methods.
        ("store obj.x = 5", "obj.x = 5", [("KestrineBase subclass", KInstance, cfg.hit_calls),
                                          ("plain class", PlainInstance, cfg.hit_calls)]),
    ]
    rows = []
    for case, call, impls in cases:
        for label, cls, calls in impls:
            obj = cls()
            expr = "obj.total" if cls is CachedPropTotal else call
            rows.append(row(case, label, per_op(expr, obj, calls, cfg), calls=calls))
            if case.startswith("hit") and isinstance(obj, KestrineBase) and not obj.validation_state:
                raise RuntimeError(f"{case}: kestrine registered no call")
    return {"rows": rows}


def section_misses(cfg: Config) -> dict:
    """ns per miss, a fresh key each call; kestrine's method declares two dependencies."""
    args = make_args(cfg.miss_calls)

    def measure(cls, prepare):
        loop = make_arg_loop("obj.miss(a)")

        def run_once():
            obj = fresh(cls)
            prepare(obj)
            try:
                return loop(obj, args)
            finally:
                reset(cls)

        return gc_pair(lambda gc_on, n: best_of(run_once, gc_on, n) / len(args), cfg.repeats)

    def prepare_k(obj):
        obj.a()
        obj.b()
        obj.miss(0)

    case = "miss, fresh key, two declared dependencies"
    impls = [("kestrine dependencies=['a','b']", KMiss, prepare_k),
             ("functools.lru_cache", LruMiss, lambda o: o.miss(0))]
    if cachetools is not None:
        impls.append(("cachetools.cachedmethod", CtArea, lambda o: o.miss(0)))
    return {"rows": [row(case, label, measure(cls, prep), calls=len(args))
                     for label, cls, prep in impls]}


def section_dump(cfg: Config) -> dict:
    methods = 100
    Dump = make_dump_class(methods)
    obj = Dump()
    data = obj.dump_cache()
    if len(data) != methods or data.get("m007") != 7:
        raise RuntimeError(f"dump_cache returned an unexpected dict of {len(data)} entries")
    target = Dump()
    target.load_cache(data)

    def per_method(expr, subject, calls):
        pair = per_op(expr, subject, calls, cfg)
        return {state: ns / methods for state, ns in pair.items()}

    rows = [
        row("dump_cache(), per method", "kestrine", per_method("obj.dump_cache()", obj,
                                                               cfg.dump_calls)),
        row("load_cache(data), per method", "kestrine",
            per_method("obj[0].load_cache(obj[1])", (target, data), cfg.load_calls)),
    ]
    if target.get_cached_value("m042") != 42:
        raise RuntimeError("load_cache did not leave the loaded value in the cache")
    return {"methods": methods, "rows": rows}


def section_instances(cfg: Config) -> dict:
    """What an instance that never memoises costs: creation time, fixed size, RSS."""
    create = [row("create an instance", label, per_op("obj()", cls, cfg.create_calls, cfg),
                  calls=cfg.create_calls) for label, cls in INSTANCE_IMPLS]
    return {
        "basicsize": {"KestrineBase": KestrineBase.__basicsize__,
                      "object": object.__basicsize__},
        "rows": create,
        "rss": [memory_run(label, cfg.instance_count) for label, _ in INSTANCE_IMPLS],
    }


def section_fills(cfg: Config) -> dict:
    """ns per miss in each chunk of one fill of a fresh instance, distinct args made first."""
    args = make_args(cfg.fill_chunk * cfg.fill_chunks)
    chunks = [args[k:k + cfg.fill_chunk] for k in range(0, len(args), cfg.fill_chunk)]

    def curve(cls, gc_on, repeats):
        loop = make_arg_loop("obj.f(a)")
        best = [math.inf] * len(chunks)
        for _ in range(repeats):
            with GCState(gc_on):
                obj = fresh(cls)
                obj.f(-1)  # first use: state the instance creates lazily is not a miss
                times = [loop(obj, chunk) / len(chunk) for chunk in chunks]
                held = obj.entries()
                del obj
                reset(cls)
            if held != len(args) + 1:
                raise RuntimeError(f"fill of {cls.__name__}: {held} entries, "
                                   f"expected {len(args) + 1}")
            best = [min(b, t) for b, t in zip(best, times)]
        return best

    return {
        "chunk": cfg.fill_chunk,
        "calls": len(args),
        "curves": [{"impl": label,
                    "ns_per_miss": gc_pair(functools.partial(curve, cls), cfg.fill_repeats)}
                   for label, cls in FILL_IMPLS],
    }


def section_clear(cfg: Config) -> dict:
    """clear_cached_value('root') on an instance whose N leaves depend on root at run time."""
    problems = []

    def run_once(n):
        obj = Tree()
        leaf = obj.leaf
        for i in range(n):
            leaf(i)
        if not obj.is_cached("leaf", i=n - 1):
            problems.append(f"clear tree N={n}: leaf not cached before the clear")
        t0 = perf_counter_ns()
        obj.clear_cached_value("root")
        elapsed = perf_counter_ns() - t0
        if obj.is_cached("leaf", i=0) or obj.is_cached("leaf", i=n - 1):
            problems.append(f"clear tree N={n}: a leaf is still cached after the clear")
        return elapsed

    def per_dependent(n):
        return gc_pair(lambda gc_on, reps: best_of(lambda: run_once(n), gc_on, reps) / n,
                       cfg.clear_repeats)

    rows = [{"dependents": n, "ns_per_dependent": per_dependent(n)} for n in cfg.clear_sizes]
    small, large = rows[0], rows[-1]
    growth = large["dependents"] / small["dependents"]
    return {
        "rows": rows,
        # total time for the large N over the small N; linear growth gives N_large / N_small
        "ratio": {s: growth * large["ns_per_dependent"][s] / small["ns_per_dependent"][s]
                  for s in GC_STATES},
        "linear": growth,
        "problems": problems,
    }


# -- threads ---------------------------------------------------------------------------


class Work:
    """A fixed amount of work for one thread.

    make() builds the warmed state in the thread that calls it; run(state) does the timed
    calls and returns how many RuntimeError refusals it caught.
    """

    def __init__(self, label, make, run, calls, shareable=True):
        self.label, self.make, self.run = label, make, run
        self.calls, self.shareable = calls, shareable


def hit_work(label: str, cls, expr: str, calls: int) -> Work:
    loop = make_loop(expr, count_refusals=True)
    iterations = calls // UNROLL

    def make():
        obj = cls()
        loop(obj, 10)
        return obj

    return Work(label, make, lambda obj: loop(obj, iterations), iterations * UNROLL)


def fill_work(calls: int) -> Work:
    loop = make_arg_loop("obj.f(a)")

    def make():
        obj = Fill()
        obj.f(-1)
        return obj, make_args(calls)  # each thread's own argument objects

    def run(state):
        loop(*state)
        return 0

    return Work("kestrine fill obj.f(i)", make, run, calls, shareable=False)


def run_threads(work: Work, nthreads: int, shared=None) -> tuple[int, list, int, float]:
    """(wall ns, [thread CPU ns], refusals, overlap) of `nthreads` threads doing `work` once.

    Each thread makes its own state before the start barrier, unless `shared` is given.
    overlap: the wall time during which all threads were running ÷ the median thread's wall
    time (1.0: they ran side by side throughout; 0: one after the other).
    """
    barrier = threading.Barrier(nthreads)
    starts, ends, cpu = [0] * nthreads, [0] * nthreads, [0] * nthreads
    refused, errors = [0] * nthreads, []

    def worker(idx):
        try:
            state = work.make() if shared is None else shared
            barrier.wait()
            cpu[idx] = -thread_time_ns()
            starts[idx] = perf_counter_ns()
            refused[idx] = work.run(state)
            ends[idx] = perf_counter_ns()
            cpu[idx] += thread_time_ns()
        except BaseException as exc:  # reported after join
            errors.append(exc)
            barrier.abort()

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    together = max(0, min(ends) - max(starts))
    overlap = together / statistics.median(e - s for s, e in zip(starts, ends))
    return max(ends) - min(starts), cpu, sum(refused), overlap


def thread_stats(work: Work, nthreads: int, shared: bool, gc_on: bool, rounds: int) -> dict:
    """Medians over rounds of: the work alone in one thread, then in `nthreads` at once."""
    inflation, throughput, alone_cpu, overlap, refusals = [], [], [], [], 0
    with GCState(gc_on):
        state = work.make() if shared else None  # warmed here, before any thread starts
        for _ in range(rounds):
            wall_1, (cpu_1,), _, _ = run_threads(work, 1, state)
            wall_n, cpus, refused, together = run_threads(work, nthreads, state)
            inflation.append(statistics.fmean(cpus) / cpu_1)
            throughput.append(nthreads * wall_1 / wall_n)
            alone_cpu.append(cpu_1)
            overlap.append(together)
            refusals += refused
    return {
        "cpu_ns_per_op_alone": statistics.median(alone_cpu) / work.calls,
        "cpu_inflation": statistics.median(inflation),
        "throughput_ratio": statistics.median(throughput),
        "overlap": statistics.median(overlap),
        "refusals": refusals,
        "concurrent_calls": rounds * nthreads * work.calls,
        "cpu_inflation_rounds": inflation,
        "throughput_ratio_rounds": throughput,
    }


class SlowHash:
    """Hashing takes `seconds` (sleeping) once armed: a query hashing it holds its instance."""

    def __init__(self):
        self.seconds = 0.0
        self.entered = threading.Event()

    def __hash__(self):
        if self.seconds:
            self.entered.set()
            time.sleep(self.seconds)
        return 1


class Held(KestrineBase):
    @kestrined()
    def keyed(self, key):
        return 1

    @kestrined()
    def value(self):
        return 2


def measure_wait(request: str, hold_s: float) -> dict:
    """CPU and wall time of a request that meets another thread's exclusive hold of
    `hold_s` seconds (a query whose argument's hash sleeps)."""
    obj, key = Held(), SlowHash()
    obj.keyed(key), obj.value()
    key.seconds = hold_s
    holder = threading.Thread(target=lambda: obj.is_cached("keyed", key=key))
    holder.start()
    key.entered.wait()
    key.seconds = 0.0  # the holder sleeps already; hashing the key again is instant
    calls = {"query": lambda: obj.is_cached("value"), "property": lambda: obj.validation_state,
             "hit": lambda: obj.value()}
    cpu, wall = thread_time_ns(), perf_counter_ns()
    calls[request]()
    cpu, wall = thread_time_ns() - cpu, perf_counter_ns() - wall
    holder.join()
    return {"request": request, "cpu_ms": cpu / 1e6, "wall_ms": wall / 1e6}


def section_threads(cfg: Config) -> dict:
    """Own instances of one class for 1, 2 and os.cpu_count() threads; one shared warm
    instance for 2 threads (hits only). Inflation = a thread's CPU time for its work while
    the others run their copies ÷ the same work alone (1.0: no interference); throughput =
    calls per wall second of all threads ÷ one thread's alone (ideal: the thread count)."""
    n = cfg.thread_calls
    works = [
        hit_work("kestrine obj.area(3)", KArea, "obj.area(3)", n),
        hit_work("kestrine obj.total()", KArea, "obj.total()", n),
        hit_work("plain method obj.area(3)", PlainArea, "obj.area(3)", n),
        hit_work("functools.lru_cache obj.area(3)", LruArea, "obj.area(3)", n),
        hit_work("functools.cached_property obj.total", CachedPropTotal, "obj.total", n),
        fill_work(cfg.thread_fills),
    ]
    counts = sorted({1, 2, os.cpu_count() or 1})
    setups = [(c, False) for c in counts] + [(2, True)]
    rows = []
    for work in works:
        for nthreads, shared in setups:
            if shared and not work.shareable:
                continue
            stats = gc_pair(
                lambda gc_on, rounds: thread_stats(work, nthreads, shared, gc_on, rounds),
                (cfg.thread_rounds, cfg.thread_rounds))
            rows.append({"impl": work.label, "threads": nthreads,
                         "instances": "shared" if shared else "own",
                         "calls_per_thread": work.calls, **stats})
    reset(LruArea)
    waits = [measure_wait(request, 0.1) for request in ("query", "property", "hit")]
    return {"thread_counts": counts, "rounds": cfg.thread_rounds, "rows": rows, "waits": waits}


# -- memory ----------------------------------------------------------------------------


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(impl: str, count: int) -> dict:
    """Runs in a fresh process so that memory freed by other cases is not reused.

    Cache entries: `count` distinct calls f(a) on one instance, the arguments made before
    the first reading and the result a shared object. Instances: `count` instances kept in a
    list allocated beforehand. The collector stays enabled, as programs run.
    """
    if impl in dict(FILL_IMPLS):
        cls = dict(FILL_IMPLS)[impl]
        obj = fresh(cls)
        obj.f(-1)
        args = make_args(count)
        gc.collect()
        before = rss_bytes()
        for a in args:
            obj.f(a)
        after = rss_bytes()
        if obj.entries() != count + 1:
            raise RuntimeError(f"{impl}: {obj.entries()} entries, expected {count + 1}")
    else:
        cls = dict(INSTANCE_IMPLS)[impl]
        keep = [None] * count
        gc.collect()
        before = rss_bytes()
        for k in range(count):
            keep[k] = cls()
        after = rss_bytes()
    return {"impl": impl, "count": count, "gc_enabled": gc.isenabled(),
            "rss_delta_bytes": after - before, "bytes_each": (after - before) / count}


def memory_run(impl: str, count: int) -> dict:
    proc = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--memory-child", impl, str(count)],
        capture_output=True, text=True, check=False,
    )
    if proc.returncode != 0:
        raise RuntimeError(f"memory child {impl} failed: {proc.stderr.strip()[-2000:]}")
    return json.loads(proc.stdout)


def section_memory(cfg: Config) -> dict:
    return {"entries": cfg.memory_entries, "gc_enabled": True,
            "rows": [memory_run(label, cfg.memory_entries) for label, _ in FILL_IMPLS]}


# -- rounds ----------------------------------------------------------------------------
#
# A long-running program in rounds, as an inference library runs: each round builds a tree
# of nodes whose memoised methods call each other with a per-round context object (hashed
# by identity, recording the nodes it passed), clears every cache, and drops the tree. A
# second workload keeps one long-lived resolver that is called with each round's new nodes
# and contexts. Memory lost per round shows as live nodes and RSS that grow.


class Context:
    def __init__(self):
        self.path = []


def make_tree_class(decorate, bases):
    class Node(*bases):
        def __init__(self, parent=None, fanout=0, depth=0):
            self.parent = parent
            self.children = [Node(self, fanout, depth - 1) for _ in range(fanout)] if depth else []

        @decorate
        def infer(self, ctx):
            ctx.path.append(self)
            return sum(child.infer(ctx) for child in self.children) + 1

        @decorate
        def scope(self):  # a value that refers to an ancestor
            return self.parent.scope() if self.parent else self

        def walk(self):
            yield self
            for child in self.children:
                yield from child.walk()

    return Node


def make_resolver(decorate, bases):
    class Resolver(*bases):
        @decorate
        def resolve(self, node, ctx):
            ctx.path.append(node)
            return node.parent is None

    return Resolver


def rounds_child(impl: str, rounds: int) -> dict:
    """One workload in a fresh process; live nodes and RSS after each round's collection."""
    import weakref

    if "kestrine" in impl:
        bases: tuple = (KestrineBase,)
        decorate = kestrined()
        clear = KestrineBase.reset_cache if "reset" in impl else KestrineBase.clear_cache
    else:
        bases = ()
        decorate = functools.lru_cache(maxsize=None)
        clear = None
    Node = make_tree_class(decorate, bases)
    live = weakref.WeakSet()
    counts, rss = [], []
    resolver = make_resolver(decorate, bases)() if "resolver" in impl else None
    for _ in range(rounds):
        root = Node(None, 10, 4)  # 11,111 nodes
        nodes = list(root.walk())
        live.update(nodes)
        ctx = Context()
        if resolver is None:
            root.infer(ctx)
            for node in nodes:
                node.scope()
            if clear is None:
                Node.infer.cache_clear()
                Node.scope.cache_clear()
            else:
                for node in nodes:
                    clear(node)
        else:
            for node in nodes:
                resolver.resolve(node, ctx)
            if clear is None:
                type(resolver).resolve.cache_clear()
            else:
                clear(resolver)
        del root, nodes, ctx, node
        gc.collect()
        counts.append(len(live))
        rss.append(rss_bytes())
    return {"impl": impl, "live_nodes": counts, "rss_mb": [r / 2**20 for r in rss]}


ROUND_IMPLS = ["functools.lru_cache + cache_clear", "kestrine + clear_cache",
               "resolver: functools.lru_cache + cache_clear", "resolver: kestrine + clear_cache",
               "resolver: kestrine + reset_cache"]


def section_rounds(cfg: Config) -> dict:
    rounds = 3 if cfg.quick else 6
    out = []
    for impl in ROUND_IMPLS:
        if "reset_cache" in impl and not hasattr(KestrineBase, "reset_cache"):
            continue  # a build from before reset_cache existed
        proc = subprocess.run(
            [sys.executable, str(Path(__file__).resolve()), "--rounds-child", impl, str(rounds)],
            capture_output=True, text=True, check=False)
        if proc.returncode != 0:
            raise RuntimeError(f"rounds child {impl} failed: {proc.stderr.strip()[-2000:]}")
        out.append(json.loads(proc.stdout))
    return {"rounds": rounds, "nodes_per_round": 11_111, "rows": out}


SECTION_RUNS = {name: globals()[f"section_{name}"] for name in SECTIONS}


# ---------------------------------------------------------------------------------------
# Targets: PASS/MISS markers computed from whatever sections a result document holds


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
                              hit(store, "KestrineBase subclass") / hit(store, "plain class"), 1.5))
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
    if "memory" in doc:
        per_entry = {r["impl"]: r["bytes_each"] for r in doc["memory"]["rows"]}
        ours = per_entry["kestrine"]
        out += [target("bytes per entry, kestrine", ours, 128),
                target("bytes per entry, kestrine ÷ lru_cache", ours / per_entry[
                    "functools.lru_cache"], 1.0, "<")]
    return out


# ---------------------------------------------------------------------------------------
# Tables: each builder turns result sections into (title, header, rows of cells, text
# columns); rendered as text for the terminal or as markdown for the README. In markdown a
# gc-off cell is left empty when it is within DIFFER of its gc-on figure.

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


# ---------------------------------------------------------------------------------------
# Main


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


def parse_sections(values) -> list:
    names = [n.strip() for v in values or [] for n in v.split(",") if n.strip()]
    unknown = sorted(set(names) - set(SECTIONS))
    if unknown:
        raise SystemExit(f"unknown section(s) {', '.join(unknown)}; "
                         f"choose from {', '.join(SECTIONS)}")
    return [n for n in SECTIONS if n in names] if names else list(SECTIONS)


def merged_results(paths) -> dict:
    doc: dict = {}
    for path in paths or [RESULTS / "latest.json"]:
        loaded = json.loads(Path(path).read_text())
        doc.update({k: v for k, v in loaded.items() if k in SECTIONS or k == "info"})
    return doc


def interpreter_id() -> tuple[str, str]:
    """(short id for file names, description) of the running interpreter. The 3.14-era
    snapshot lives in a prefix named cpython-<version>-snapshot[-unpatched]."""
    version = sys.version.split()[0]
    prefix = Path(sys.base_prefix).name
    if prefix.endswith("-snapshot-unpatched"):
        return "snapshot-unpatched", f"CPython {version} snapshot (3.14-era), without the patch"
    if prefix.endswith("-snapshot"):
        return "snapshot", f"CPython {version} snapshot (3.14-era) + stack-reference patch"
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    return "default", f"CPython {version}{'' if gil else ' free-threaded'}"


def write_results(document: dict, complete: bool, quick: bool) -> None:
    parts = [document["timestamp_utc"]]
    interpreter = document["info"]["interpreter_id"]
    if interpreter != "default":
        parts.append(interpreter)
    if not complete:
        parts.append("+".join(document["info"]["sections"]))
    if quick:
        parts.append("quick")
    paths = [RESULTS / f"{'-'.join(parts)}.json"]
    if complete:
        paths.append(RESULTS / ("latest.json" if interpreter == "default"
                                else f"latest-{interpreter}.json"))
    RESULTS.mkdir(exist_ok=True)
    text = json.dumps(document, indent=2) + "\n"
    for path in paths:
        tmp = path.with_suffix(".json.tmp")
        tmp.write_text(text)
        tmp.replace(path)
    print("results written to " + " and ".join(str(p.relative_to(HERE.parent)) for p in paths))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small counts, for a smoke run")
    parser.add_argument("--section", action="append", metavar="NAME",
                        help=f"run only these sections ({', '.join(SECTIONS)}); repeatable or "
                             "comma-separated")
    parser.add_argument("--markdown", nargs="*", metavar="FILE",
                        help="print the README tables from result files (default: latest.json)"
                             " and exit")
    parser.add_argument("--memory-child", nargs=2, metavar=("IMPL", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--rounds-child", nargs=2, metavar=("IMPL", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--compare", nargs="+", metavar="FILE",
                        help="print a markdown table of the calls and thread figures of result "
                             "files side by side, one column per file (interpreter)")
    args = parser.parse_args()
    if args.memory_child:
        impl, count = args.memory_child
        print(json.dumps(memory_child(impl, int(count))))
        return 0
    if args.rounds_child:
        impl, count = args.rounds_child
        print(json.dumps(rounds_child(impl, int(count))))
        return 0
    if args.markdown is not None:
        print_tables(merged_results(args.markdown), markdown=True)
        return 0
    if args.compare:
        print_comparison([json.loads(Path(p).read_text()) for p in args.compare])
        return 0

    sections = parse_sections(args.section)
    cfg = Config(args.quick)
    run_started = perf_counter_ns()
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    peers = {
        "cachetools": getattr(cachetools, "__version__", "?") if cachetools else None,
        "methodtools": getattr(methodtools, "__version__", "?") if methodtools else None,
    }
    interpreter, described = interpreter_id()
    info: dict[str, Any] = {
        "interpreter_id": interpreter,
        "interpreter": described,
        "executable": sys.executable,
        "python": sys.version.split()[0],
        "implementation": sys.version,
        "gil_enabled": gil,
        "kestrine": getattr(kestrine, "__file__", "?"),
        "revision": git_revision(),
        "cpus": os.cpu_count(),
        "loadavg_at_start": list(os.getloadavg()),
        "machine": platform.machine(),
        "mode": "quick" if cfg.quick else "full",
        "sections": sections,
        "gc": "gc_on: the cyclic collector enabled, as programs run (the headline figure); "
              "gc_off: the same measurement with it disabled",
        "repeats": {"gc_on": cfg.repeats[0], "gc_off": cfg.repeats[1]},
        "peers": peers,
    }
    print(f"kestrine benchmarks ({info['mode']}): {described}, "
          f"GIL {'ENABLED' if gil else 'disabled'}, {info['cpus']} CPUs, "
          f"load {' '.join(f'{x:.2f}' for x in info['loadavg_at_start'])}, "
          f"revision {info['revision']}")
    print(f"sections: {', '.join(sections)}; gc on = collector enabled (headline, best of "
          f"{cfg.repeats[0]}), gc off = disabled (best of {cfg.repeats[1]})")
    skipped = [name for name, version in peers.items() if version is None]
    if skipped:
        print(f"skipped peers (not importable): {', '.join(skipped)}")
    if gil and "threads" in sections:
        print("WARNING: the GIL is enabled; the thread figures mean nothing")
    print(flush=True)

    document: dict = {"info": info}
    elapsed_by_section = {}
    for name in sections:
        started = perf_counter_ns()
        document[name] = SECTION_RUNS[name](cfg)
        elapsed_by_section[name] = (perf_counter_ns() - started) / 1e9
        print(f"[{name}] {elapsed_by_section[name]:.1f} s", flush=True)
    print()

    print_tables(document, markdown=False)
    problems = document.get("clear", {}).get("problems", [])
    for problem in problems:
        print(f"PROBLEM: {problem}")
    apart = [f"{r['impl']} ({r['threads']} threads, {r['instances']})"
             for r in document.get("threads", {}).get("rows", [])
             if min(r[s]["overlap"] for s in GC_STATES) < OVERLAP_WARN]
    if apart:
        print(f"note: threads overlapped for less than {OVERLAP_WARN:.0%} of their run (median) "
              f"in: {'; '.join(apart)}; their inflation says little")
    busy = info["loadavg_at_start"][0]
    if busy > (info["cpus"] or 1) - 0.5:
        print(f"note: load average {busy:.2f} on {info['cpus']} CPUs at the start: other work "
              f"competed for the cores (compare thread figures with the plain method's)")
    elapsed = (perf_counter_ns() - run_started) / 1e9
    info["loadavg_at_end"] = list(os.getloadavg())
    print(f"\nrun took {elapsed:.1f} s; load average at the end "
          f"{' '.join(f'{x:.2f}' for x in info['loadavg_at_end'])}")

    document.update({
        "timestamp_utc": dt.datetime.now(dt.timezone.utc).strftime("%Y%m%dT%H%M%SZ"),
        "elapsed_s": elapsed,
        "elapsed_s_by_section": elapsed_by_section,
        "targets": targets(document),
        "problems": problems,
    })
    write_results(document, complete=sections == list(SECTIONS), quick=cfg.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
