"""Bounded caches (maxsize): what a bound costs a hit, a miss that evicts, the hit ratio and
time of a Zipf trace, memory under a bound with fresh arguments, reset_cache amid running
calls, what the bookkeeping of bounds, counts and class-wide calls adds to an instance's
first call and its end, what the class-wide calls cost, and hits of two threads on one
shared bounded instance.

The instance figures compare the installed module with a baseline build of an earlier
revision (one without bounds, counts or class-wide calls), each measured in child
processes taken in turn. One command measures it, building the baseline on first use:

    make bench BENCH_ARGS="--section bounds --baseline e8934a4"
    make bench INTERPRETER=snapshot BENCH_ARGS="--section bounds --baseline e8934a4"

`--baseline REV` exports REV (git archive, no worktree) to /tmp/kestrine-baseline-REV/src and
builds it with CMake (Release, as the package builds) for the running interpreter into
/tmp/kestrine-baseline-REV/<interpreter>; `--baseline DIR` takes a directory that already
holds a built module. Without --baseline the instance figures show the installed module
alone.
"""

from __future__ import annotations

import functools
import gc
import json
import os
import random
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time
import weakref
from bisect import bisect_left
from itertools import accumulate
from pathlib import Path

import kestrine
from kestrine import KestrineBase, kestrined

from ..config import BENCH_DIR, Config, run_child
from ..subjects import cachetools, lru_area_class
from ..timing import (GC_STATES, UNROLL, GCState, best_of, compile_loop, gc_pair, make_arg_loop,
                      make_args, make_loop, reset, row)
from .memory import rss_bytes
from .threads import hit_work, thread_stats

BOUND = 128  # the bound of the hit, miss and thread figures
EVICT_KEYS = 10 * BOUND  # keys the evicting misses cycle over
ZIPF_BOUND = 1000
ZIPF_KEYS = 100_000
ZIPF_EXPONENT = 1.1
ZIPF_SEED = 20261209
MEMORY_BOUND = 1000
MEMORY_VALUES = 3000  # distinct values of the by-value arguments
RESET_EVERY_S = 0.002


def bounds_supported() -> bool:
    """Whether the loaded module has bounds (a baseline build may not)."""
    try:
        kestrined(maxsize=1)
    except TypeError:
        return False
    return True


# Classes whose decorators take `maxsize` are made on demand: this module is imported by
# every run of run.py, children on a baseline build without bounds included.


@functools.cache
def area_class(maxsize):
    class KBoundArea(KestrineBase):
        @kestrined(maxsize=maxsize)
        def area(self, width, height=2):
            return width * height

        @kestrined(maxsize=maxsize)
        def total(self):
            return 42

    return KBoundArea


@functools.cache
def evict_classes() -> list:
    """(label, class) of a method miss(i) bounded to BOUND values, kestrine and its peers."""

    class KEvict(KestrineBase):
        @kestrined(maxsize=BOUND)
        def miss(self, i):
            return 0

    class LruEvict:
        @functools.lru_cache(maxsize=BOUND)
        def miss(self, i):
            return 0

    impls = [(f"kestrine maxsize={BOUND}", KEvict),
             (f"functools.lru_cache(maxsize={BOUND})", LruEvict)]
    if cachetools is not None:

        class CtEvict:
            def __init__(self):
                self.cache = cachetools.LRUCache(BOUND)

            @cachetools.cachedmethod(lambda self: self.cache)
            def miss(self, i):
                return 0

        impls.append((f"cachetools LRUCache({BOUND})", CtEvict))
    return impls


@functools.cache
def bounded_peers() -> list:
    """(label, class) of area(3)/total() bounded to BOUND values by kestrine's peers."""

    peers = [(f"functools.lru_cache(maxsize={BOUND})", lru_area_class(BOUND))]
    if cachetools is not None:

        class CtBounded:
            def __init__(self):
                self.area_cache = cachetools.LRUCache(BOUND)
                self.total_cache = cachetools.LRUCache(BOUND)

            @cachetools.cachedmethod(lambda self: self.area_cache)
            def area(self, width, height=2):
                return width * height

            @cachetools.cachedmethod(lambda self: self.total_cache)
            def total(self):
                return 42

        peers.append((f"cachetools LRUCache({BOUND})", CtBounded))
    return peers


# ---------------------------------------------------------------------------------------
# Timing several implementations in turn


def interleaved(runs: dict, repeats: tuple[int, int], once: tuple = ()) -> dict:
    """{label: {"gc_on": best, "gc_off": best}} of `runs` ({label: run_once -> ns}), each
    repeat running every label once in turn, so that the machine's drift over the run falls
    on all of them alike. The labels in `once` (slow peers) run in the first repeat only."""
    out = {label: {} for label in runs}
    for state, n in zip(GC_STATES, repeats):
        best = dict.fromkeys(runs, float("inf"))
        for k in range(n):
            for label, run_once in runs.items():
                if k and label in once:
                    continue
                with GCState(state == "gc_on"):
                    best[label] = min(best[label], run_once())
        for label in runs:
            out[label][state] = best[label]
    return out


def hit_rows(cfg: Config) -> list:
    """ns per hit of obj.area(3) and obj.total() with and without a bound, and of bounded
    peers; the impls of a case are timed in turn."""
    impls = [(f"kestrine maxsize={BOUND}", area_class(BOUND), cfg.hit_calls),
             ("kestrine unbounded", area_class(None), cfg.hit_calls)]
    for label, cls in bounded_peers():
        calls = cfg.hit_calls if "functools" in label else cfg.cachetools_calls
        impls.append((label, cls, calls))
    rows = []
    for case, expr in (("hit obj.area(3)", "obj.area(3)"), ("hit obj.total()", "obj.total()")):
        runs, calls_of = {}, {}
        for label, cls, calls in impls:
            reset(cls)
            obj, loop, iterations = cls(), make_loop(expr), max(1, calls // UNROLL)
            loop(obj, min(iterations, 100))  # warm-up: the first call stores, code specialises
            runs[label] = functools.partial(loop, obj, iterations)
            calls_of[label] = iterations * UNROLL
            if isinstance(obj, KestrineBase):
                method = expr.split("(")[0].split(".")[1]
                info = obj.cache_info(method)
                if (info.misses, info.currsize) != (1, 1):
                    raise RuntimeError(f"{case}, {label}: {info} after the warm-up")
        ns = interleaved(runs, cfg.repeats)
        rows += [row(case, label, {s: v / calls_of[label] for s, v in ns[label].items()},
                     calls=calls_of[label]) for label in runs]
    return rows


def evict_rows(cfg: Config) -> tuple[list, list]:
    """ns per miss of miss(i) with keys cycling over 10× the bound, so that every call misses
    and every store evicts; then the same calls' counts as each cache reports them."""
    cycle = make_args(EVICT_KEYS)
    # Whole turns of the cycle: every repeat starts where the last one ended.
    turns = max(1, -(-cfg.miss_calls // EVICT_KEYS))
    args = cycle * turns
    runs, objects, calls = {}, {}, {}
    for label, cls in evict_classes():
        reset(cls)
        obj = objects[label] = cls()
        loop = make_arg_loop("obj.miss(a)")  # one per class: each call site specialises alone
        loop(obj, cycle * 2)  # fills the cache and turns it over: the timed calls all evict
        # cachetools takes ten times as long a call: a tenth of the turns
        mine = cycle * max(1, turns // 10) if label.startswith("cachetools") else args
        runs[label], calls[label] = functools.partial(loop, obj, mine), len(mine)
    # What a miss costs that evicts nothing: an unbounded method, a fresh key each call on a
    # fresh instance (as the misses section times it).
    fresh_keys, fresh_cls = make_args(len(args)), unbounded_miss_class()
    fresh_loop = make_arg_loop("obj.miss(a)")

    def unbounded_once():
        obj = fresh_cls()
        obj.miss(-1)
        return fresh_loop(obj, fresh_keys)

    label = "kestrine unbounded, fresh keys (no eviction)"
    runs[label], calls[label] = unbounded_once, len(fresh_keys)
    ns = interleaved(runs, cfg.repeats)
    case = f"miss that evicts, {EVICT_KEYS:,} keys in turn, bound {BOUND}"
    rows = [row(case, label, {s: v / calls[label] for s, v in ns[label].items()},
                calls=calls[label]) for label in runs]
    counts = []
    for label, obj in objects.items():
        if isinstance(obj, KestrineBase):
            info = obj.cache_info("miss")
        elif hasattr(type(obj).miss, "cache_info"):
            info = type(obj).miss.cache_info()
        else:
            continue
        counts.append({"impl": label, "hits": info.hits, "misses": info.misses,
                       "currsize": info.currsize})
    return rows, counts


@functools.cache
def unbounded_miss_class():
    class KFresh(KestrineBase):
        @kestrined()
        def miss(self, i):
            return 0

    return KFresh


# ---------------------------------------------------------------------------------------
# Zipf trace


def zipf_trace(calls: int, keys: int, exponent: float, seed: int) -> list:
    """`calls` seeded draws among `keys` distinct int objects, the k-th drawn with weight
    k ** -exponent."""
    cumulative = list(accumulate(1.0 / k ** exponent for k in range(1, keys + 1)))
    total = cumulative[-1]
    rng = random.Random(seed)
    objects = make_args(keys)
    return [objects[bisect_left(cumulative, rng.random() * total)] for _ in range(calls)]


def zipf_classes(bound: int) -> list:
    """(label, class, runs): method f(i) bounded to `bound` values; runs[0] counts the calls
    that ran the body."""
    runs_k, runs_l, runs_c = [0], [0], [0]

    class KZipf(KestrineBase):
        @kestrined(maxsize=bound)
        def f(self, i):
            runs_k[0] += 1
            return i

    class LruZipf:
        @functools.lru_cache(maxsize=bound)
        def f(self, i):
            runs_l[0] += 1
            return i

    impls = [(f"kestrine maxsize={bound}", KZipf, runs_k),
             (f"functools.lru_cache(maxsize={bound})", LruZipf, runs_l)]
    if cachetools is not None:

        class CtZipf:
            def __init__(self):
                self.cache = cachetools.LRUCache(bound)

            @cachetools.cachedmethod(lambda self: self.cache)
            def f(self, i):
                runs_c[0] += 1
                return i

        impls.append((f"cachetools LRUCache({bound})", CtZipf, runs_c))
    return impls


def zipf_section(cfg: Config) -> dict:
    """One trace replayed on a fresh instance (cache) per repeat; the counts of the first
    replay, the best time per call."""
    trace = zipf_trace(cfg.zipf_calls, ZIPF_KEYS, ZIPF_EXPONENT, ZIPF_SEED)
    impls = zipf_classes(ZIPF_BOUND)
    counts, runs = {}, {}
    for label, cls, ran in impls:

        def replay(label=label, cls=cls, ran=ran, loop=make_arg_loop("obj.f(a)")):
            reset(cls)
            obj, ran[0] = cls(), 0
            elapsed = loop(obj, trace)
            if label not in counts:
                counts[label] = count_replay(label, obj, ran[0], len(trace))
            reset(cls)
            return elapsed

        runs[label] = replay
    # cachetools replays the trace ten times slower: once per collector state
    ns = interleaved(runs, cfg.zipf_repeats, once=[k for k in runs if k.startswith("cachetools")])
    rows = [{"impl": label, **counts[label],
             "ns_per_call": {s: v / len(trace) for s, v in ns[label].items()}}
            for label in runs]
    return {"calls": len(trace), "keys": ZIPF_KEYS, "exponent": ZIPF_EXPONENT,
            "maxsize": ZIPF_BOUND, "seed": ZIPF_SEED, "distinct_keys_called": len(set(trace)),
            "rows": rows}


def count_replay(label: str, obj, body_runs: int, calls: int) -> dict:
    """Hits and misses of one replay: the body's own count, and the cache's where it keeps
    one (checked against the body's)."""
    out = {"body_runs": body_runs, "hit_ratio": 1 - body_runs / calls, "reported": None}
    if isinstance(obj, KestrineBase):
        info = obj.cache_info("f")
    elif hasattr(type(obj).f, "cache_info"):
        info = type(obj).f.cache_info()
    else:
        return out
    out["reported"] = {"hits": info.hits, "misses": info.misses, "currsize": info.currsize}
    out["counts_agree"] = info.misses == body_runs and info.hits + info.misses == calls
    return out


# ---------------------------------------------------------------------------------------
# Memory under a bound (a fresh process each)


class IdArg:
    """A fresh argument hashed by identity: every call with one is a miss."""

    __slots__ = ("v", "__weakref__")

    def __init__(self, v):
        self.v = v


class ValueArg(IdArg):
    """A fresh argument equal by value to earlier ones of the same value."""

    __slots__ = ()

    def __hash__(self):
        return hash(self.v)

    def __eq__(self, other):
        return type(other) is ValueArg and other.v == self.v


MEMORY_IMPLS = {
    f"kestrine maxsize={MEMORY_BOUND}, fresh objects hashed by identity": ("kestrine", IdArg),
    f"kestrine maxsize={MEMORY_BOUND}, fresh objects equal by value ({MEMORY_VALUES:,} values)":
        ("kestrine", ValueArg),
    f"functools.lru_cache(maxsize={MEMORY_BOUND}), fresh objects hashed by identity":
        ("lru", IdArg),
}


def memory_child(impl: str, calls: int) -> dict:
    """`calls` calls f(arg), each with a new argument object, on one instance bounded to
    MEMORY_BOUND values; after every tenth of the calls: RSS, allocated blocks, the argument
    objects still alive (weak references; the loop holds none then) and the collector's
    counts. The collector stays enabled."""
    kind, arg_cls = MEMORY_IMPLS[impl]
    if kind == "kestrine":

        class Subject(KestrineBase):
            @kestrined(maxsize=MEMORY_BOUND)
            def f(self, a):
                return 0
    else:

        class Subject:
            @functools.lru_cache(maxsize=MEMORY_BOUND)
            def f(self, a):
                return 0

    obj = Subject()
    # The by-value arguments' values are drawn as the calls go: a list of them made first
    # would be most of the process's memory, and the RSS of the cache a small part.
    draw = random.Random(ZIPF_SEED).randrange
    by_value = arg_cls is ValueArg
    live: weakref.WeakSet = weakref.WeakSet()
    step = calls // 10
    samples = []
    gc.collect()
    start = {"rss": rss_bytes(), "blocks": sys.getallocatedblocks()}
    started = time.perf_counter_ns()
    for tenth in range(10):
        for v in range(tenth * step, (tenth + 1) * step):
            a = arg_cls(draw(MEMORY_VALUES) if by_value else v)
            live.add(a)
            obj.f(a)
        a = None  # the loop holds no argument when they are counted
        samples.append({"calls": (tenth + 1) * step, "rss": rss_bytes(),
                        "blocks": sys.getallocatedblocks(), "alive_args": len(live),
                        "gc_count": list(gc.get_count())})
    elapsed = time.perf_counter_ns() - started
    gc.collect()
    alive_collected = len(live)
    if kind == "kestrine":
        info = obj.cache_info("f")
        info = {"hits": info.hits, "misses": info.misses, "currsize": info.currsize}
    else:
        info = Subject.f.cache_info()
        info = {"hits": info.hits, "misses": info.misses, "currsize": info.currsize}
    first, last = samples[0], samples[-1]
    return {
        "impl": impl, "calls": step * 10, "gc_enabled": gc.isenabled(), "start": start,
        "samples": samples, "cache": info, "ns_per_call": elapsed / (step * 10),
        "rss_growth": (last["rss"] - first["rss"]) / first["rss"],
        "rss_max_drift": max(abs(s["rss"] - first["rss"]) for s in samples) / first["rss"],
        "blocks_growth": last["blocks"] - first["blocks"],
        "alive_args_end": last["alive_args"],
        "alive_args_after_collect": alive_collected,
    }


def memory_section(cfg: Config) -> dict:
    rows = []
    for impl in MEMORY_IMPLS:
        rows.append(bounds_child_run("memory", {"impl": impl, "calls": cfg.bound_memory_calls}))
    return {"calls": cfg.bound_memory_calls, "maxsize": MEMORY_BOUND, "rows": rows}


# ---------------------------------------------------------------------------------------
# reset_cache amid running calls


def make_reset_class():
    class Busy(KestrineBase):
        @kestrined()
        def total(self):
            return 42

        @kestrined(maxsize=BOUND)
        def area(self, width, height=2):
            return width * height

        @kestrined(maxsize=BOUND)
        def f(self, i):
            return i + 1

        @kestrined(dependencies=["total"])
        def dependent(self):
            return self.total() + 1

    return Busy


def reset_storm(seconds: float, gc_on: bool) -> dict:
    """Two threads call decorated methods on one instance (hits, misses that evict, a call
    that calls another) while a third calls reset_cache() every 2 ms."""
    obj = make_reset_class()()
    stop = threading.Event()
    calls, wrong, call_errors = [0, 0], [0, 0], [[], []]
    resets, reset_errors = [0], []
    barrier = threading.Barrier(3)

    def worker(idx):
        barrier.wait()
        n = bad = 0
        i = idx * 7
        while not stop.is_set():
            for _ in range(50):
                i = (i + 1) % (3 * BOUND)
                try:
                    bad += obj.total() != 42
                    bad += obj.area(3) != 6
                    bad += obj.f(i) != i + 1
                    bad += obj.dependent() != 43
                except Exception as exc:  # reported, not raised: the count is the figure
                    call_errors[idx].append(repr(exc))
                n += 4
        calls[idx], wrong[idx] = n, bad

    def flusher():
        barrier.wait()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            time.sleep(RESET_EVERY_S)
            try:
                obj.reset_cache()
            except Exception as exc:
                reset_errors.append(repr(exc))
            resets[0] += 1
        stop.set()

    with GCState(gc_on):
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(2)]
        threads.append(threading.Thread(target=flusher))
        started = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.perf_counter() - started
    info = obj.cache_info("f")
    errors = call_errors[0] + call_errors[1]
    return {"seconds": elapsed, "calls": calls, "resets": resets[0],
            "reset_failures": len(reset_errors), "call_failures": len(errors),
            "wrong_values": sum(wrong), "errors": sorted(set(reset_errors + errors))[:5],
            "f_currsize_after": info.currsize}


def stored(obj, name: str) -> str:
    """"stored", "not stored" (the call is known, without a value) or "forgotten"."""
    try:
        return "stored" if obj.is_cached(name) else "not stored"
    except KeyError:
        return "forgotten"


def reset_inside() -> dict:
    """reset_cache() from inside a decorated method, and from another thread while a call
    computes: the calls return their values, which are not stored."""

    class Inner(KestrineBase):
        def __init__(self):
            self.gate = threading.Event()
            self.entered = threading.Event()

        @kestrined()
        def other(self):
            return 1

        @kestrined(maxsize=BOUND)
        def resetting(self):
            self.reset_cache()
            return 7

        @kestrined(maxsize=BOUND)
        def slow(self):
            self.entered.set()
            self.gate.wait(10)
            return 9

    out = {}
    obj = Inner()
    obj.other()
    try:
        value = obj.resetting()
        out["inside"] = {"error": None, "value": value, "call": stored(obj, "resetting"),
                         "earlier call": stored(obj, "other")}
        out["inside"]["ok"] = value == 7 and "stored" not in (out["inside"]["call"],
                                                             out["inside"]["earlier call"])
    except Exception as exc:
        out["inside"] = {"error": repr(exc), "ok": False}
    obj = Inner()
    result = {}
    caller = threading.Thread(target=lambda: result.setdefault("value", obj.slow()))
    caller.start()
    obj.entered.wait(10)
    try:
        obj.reset_cache()
        error = None
    except Exception as exc:
        error = repr(exc)
    obj.gate.set()
    caller.join()
    call = stored(obj, "slow")
    out["other_thread"] = {"error": error, "value": result.get("value"), "call": call,
                           "ok": error is None and result.get("value") == 9 and call != "stored"}
    return out


def reset_section(cfg: Config) -> dict:
    storms = {state: reset_storm(cfg.reset_seconds, state == "gc_on") for state in GC_STATES}
    return {"every_ms": RESET_EVERY_S * 1000, "storms": storms, "checks": reset_inside()}


# ---------------------------------------------------------------------------------------
# Instances: creation with the first call, and deallocation, against a baseline; the
# class-wide calls


# (figure of creation with the first calls, figure of the end of such an instance, calls)
FIRST_CALLS = [
    ("create + first call total()", "end after total()", "o.total()"),
    ("create + first calls total(), area(3)", "end after total(), area(3)",
     "o.total(); o.area(3)"),
    ("create, no call", "end, no call", ""),
]


def make_instance_loop(first: str):
    """loop(cls, batch, batches, keep) -> (ns creating batch instances and making their first
    calls, ns dropping them one by one), summed over `batches` batches."""
    body = f"o = cls(); {first}" if first else "o = cls()"
    return compile_loop(textwrap.dedent(f"""\
        def loop(cls, batch, batches, keep):
            made = freed = 0
            for _ in range(batches):
                t0 = clock()
                for i in range(batch):
                    {body}
                    keep[i] = o
                t1 = clock()
                o = None
                for i in range(batch):
                    keep[i] = None
                freed += clock() - t1
                made += t1 - t0
            return made, freed
        """), first or "create")


def registry_child(params: dict) -> dict:
    """Per instance: creation with the first calls, and the instance's end; then hits. Runs
    on whichever build PYTHONPATH selects; figures with a bound, and those of the class-wide
    calls, only where it has them."""
    repeats, batch, batches = params["repeats"], params["batch"], params["batches"]
    variants = [("unbounded", unbounded_area_class(), FIRST_CALLS, True)]
    if bounds_supported():
        variants.append((f"maxsize={BOUND}", area_class(BOUND), FIRST_CALLS[:2], True))
        # Once a class-wide call was made, instances join the method's registry at their
        # first call (a weak reference each).
        kept = fresh_area_class()
        kept.total.cache_info()
        variants.append(("after a class-wide call", kept, FIRST_CALLS[:1], False))
    figures = {}
    for suffix, cls, first_calls, hits in variants:
        for made_name, end_name, first in first_calls:
            loop = make_instance_loop(first)
            keep = [None] * batch
            loop(cls, batch, 2, keep)  # warm-up
            for state, n in zip(GC_STATES, repeats):
                made = freed = float("inf")
                for _ in range(n):
                    with GCState(state == "gc_on"):
                        m, f = loop(cls, batch, batches, keep)
                    made, freed = min(made, m), min(freed, f)
                count = batch * batches
                figures.setdefault(f"{made_name} [{suffix}]", {})[state] = made / count
                figures.setdefault(f"{end_name} [{suffix}]", {})[state] = freed / count
        if not hits:
            continue
        for case, expr in (("hit obj.area(3)", "obj.area(3)"), ("hit obj.total()", "obj.total()")):
            obj, loop = cls(), make_loop(expr)
            iterations = params["hit_calls"] // UNROLL
            loop(obj, 100)
            figures[f"{case} [{suffix}]"] = gc_pair(
                lambda gc_on, n: best_of(lambda: loop(obj, iterations), gc_on, n)
                / (iterations * UNROLL), repeats)
    # Last: its 200,000 instances would leave the collector and the allocator in another
    # state than a baseline child (which cannot make these calls) has for the figures above.
    classwide = classwide_calls(params["classwide_instances"]) if bounds_supported() else None
    return {"kestrine": kestrine.__file__, "bounds": bounds_supported(), "figures": figures,
            "classwide": classwide}


def classwide_calls(count: int) -> dict:
    """ms of the first Cls.total.cache_info() (it finds the live instances, among every object
    the collector tracks), of a second one and of Cls.total.cache_clear(), with `count` live
    instances that ran total() and as many of another class that never memoised."""
    cls, others = fresh_area_class(), fresh_area_class()
    ran = [cls() for _ in range(count)]
    for obj in ran:
        obj.total()
    idle = [others() for _ in range(count)]
    gc.collect()
    times = []
    for call in (cls.total.cache_info, cls.total.cache_info, cls.total.cache_clear):
        started = time.perf_counter_ns()
        result = call()
        times.append((time.perf_counter_ns() - started) / 1e6)
        if result is not None and (result.misses, result.currsize) != (count, count):
            raise RuntimeError(f"class-wide cache_info: {result}, expected {count} calls")
    after = cls.total.cache_info()
    # What the walk left on instances it passed over: a weak reference each, held by the
    # method's registry until a sweep finds them dead.
    idle_referenced = sum(weakref.getweakrefcount(obj) > 0 for obj in idle)
    del ran, idle
    return {"instances": count, "idle_instances": count, "first_info_ms": times[0],
            "second_info_ms": times[1], "clear_ms": times[2],
            "currsize_after_clear": after.currsize, "idle_weakly_referenced": idle_referenced}


def fresh_area_class():
    """A class of its own (no class-wide call made on it yet)."""
    return area_class.__wrapped__(None)


@functools.cache
def unbounded_area_class():
    """area/total without a maxsize argument: the same class on every build."""

    class KArea(KestrineBase):
        @kestrined()
        def area(self, width, height=2):
            return width * height

        @kestrined()
        def total(self):
            return 42

    return KArea


def baseline_dir(spec: str) -> Path:
    """The directory holding the baseline module for this interpreter: `spec` itself when it
    holds one, else built from git revision `spec` (once)."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    given = Path(spec)
    if given.is_dir():
        if not (given / f"kestrine{suffix}").exists():
            raise SystemExit(f"--baseline {spec}: no kestrine{suffix} there")
        return given
    repo = BENCH_DIR.parent
    rev = subprocess.run(["git", "-C", str(repo), "rev-parse", "--short", spec],
                         capture_output=True, text=True, check=True).stdout.strip()
    root = Path("/tmp") / f"kestrine-baseline-{rev}"
    tag = suffix.split(".")[1]  # e.g. cpython-313t-x86_64-linux-gnu
    build = root / tag
    if (build / f"kestrine{suffix}").exists():
        return build
    source = root / "src"
    if not (source / "CMakeLists.txt").exists():
        source.mkdir(parents=True, exist_ok=True)
        archive = subprocess.run(["git", "-C", str(repo), "archive", rev], capture_output=True,
                                 check=True).stdout
        subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
    print(f"[bounds] building baseline {rev} for {sys.executable} into {build}", flush=True)
    subprocess.run(["cmake", "-S", str(source), "-B", str(build), f"-DPython_EXECUTABLE="
                    f"{sys.executable}", "-DCMAKE_BUILD_TYPE=Release", "-G", "Ninja"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j2"], check=True, stdout=subprocess.DEVNULL)
    return build


def bounds_child_run(kind: str, params: dict, pythonpath: Path | None = None) -> dict:
    env = dict(os.environ)
    if pythonpath is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(pythonpath),
                                                          env.get("PYTHONPATH")]))
    return run_child("bounds-child", kind, json.dumps(params), env=env)


def registry_section(cfg: Config) -> dict:
    """Current and baseline children in turn, `registry_rounds` times; the best figure of
    each build over its children."""
    params = {"repeats": list(cfg.registry_repeats), "batch": cfg.registry_batch,
              "batches": cfg.registry_batches, "hit_calls": cfg.hit_calls,
              "classwide_instances": cfg.registry_batch * cfg.registry_batches}
    builds = {"current": None}
    if cfg.baseline:
        builds["baseline"] = baseline_dir(cfg.baseline)
    best: dict = {name: {} for name in builds}
    modules, classwide = {}, []
    for _ in range(cfg.registry_rounds):
        for name, path in builds.items():
            got = bounds_child_run("registry", params, path)
            modules[name] = got["kestrine"]
            if name == "current":
                classwide.append(got["classwide"])
            if path is not None and not got["kestrine"].startswith(str(path)):
                raise RuntimeError(f"baseline child loaded {got['kestrine']}, not from {path}")
            for figure, pair in got["figures"].items():
                mine = best[name].setdefault(figure, dict(pair))
                for s in GC_STATES:
                    mine[s] = min(mine[s], pair[s])
    return {"baseline": cfg.baseline, "modules": modules, "rounds": cfg.registry_rounds,
            "instances_per_repeat": cfg.registry_batch * cfg.registry_batches,
            "figures": best, "classwide": classwide}


# ---------------------------------------------------------------------------------------
# Two threads hitting one shared bounded instance


def keep_made(work) -> list:
    """The states `work` makes from now on, in order (the shared instances of thread_stats)."""
    made, make = [], work.make

    def keeping():
        made.append(make())
        return made[-1]

    work.make = keeping
    return made


def thread_section(cfg: Config) -> dict:
    """threads.py's shared-instance figure (2 threads, median of rounds) with bounded
    methods, beside the same methods unbounded; every hit must show in cache_info."""
    rows, problems = [], []
    for label, maxsize in ((f"maxsize={BOUND}", BOUND), ("unbounded", None)):
        for expr in ("obj.area(3)", "obj.total()"):
            work = hit_work(f"kestrine {label} {expr}", area_class(maxsize), expr,
                            cfg.thread_calls)
            made = keep_made(work)
            stats = gc_pair(lambda gc_on, rounds: thread_stats(work, 2, True, gc_on, rounds),
                            (cfg.thread_rounds, cfg.thread_rounds))
            # Each state's instance: 99 hits of the warm-up, then per round one thread's
            # calls alone and two threads' together; a refused call (counted) is no hit.
            method = expr.split("(")[0].split(".")[1]
            counted = []
            for state, obj in zip(GC_STATES, made):
                expected = 10 * UNROLL - 1 + cfg.thread_rounds * 3 * work.calls \
                    - stats[state]["refusals"]
                info = obj.cache_info(method)
                counted.append({"state": state, "hits": info.hits, "expected": expected})
                if info.hits != expected or info.misses != 1:
                    problems.append(f"{work.label}, {state}: cache_info {info}, expected "
                                    f"{expected} hits and 1 miss")
            rows.append({"impl": work.label, "threads": 2, "instances": "shared",
                         "calls_per_thread": work.calls, "hit_counts": counted, **stats})
    return {"rounds": cfg.thread_rounds, "rows": rows, "problems": problems}


# ---------------------------------------------------------------------------------------


def bounds_child(kind: str, params: str) -> dict:
    args = json.loads(params)
    if kind == "memory":
        return memory_child(args["impl"], args["calls"])
    if kind == "registry":
        return registry_child(args)
    raise SystemExit(f"unknown bounds child {kind}")


def section_bounds(cfg: Config) -> dict:
    if not bounds_supported():
        raise SystemExit("bounds: the installed kestrine has no maxsize")
    evicts, evict_counts = evict_rows(cfg)
    out = {"bound": BOUND, "rows": hit_rows(cfg) + evicts, "evict_counts": evict_counts}
    out["zipf"] = zipf_section(cfg)
    out["memory"] = memory_section(cfg)
    out["reset"] = reset_section(cfg)
    out["registry"] = registry_section(cfg)
    out["threads"] = thread_section(cfg)
    problems = list(out["threads"].pop("problems"))
    for c in evict_counts:
        if c["hits"] != 0 or c["currsize"] != BOUND:
            problems.append(f"evicting misses, {c['impl']}: {c['hits']} hits, currsize "
                            f"{c['currsize']} (expected 0 and {BOUND})")
    for r in out["zipf"]["rows"]:
        if r.get("counts_agree") is False:
            problems.append(f"zipf, {r['impl']}: cache_info {r['reported']} disagrees with "
                            f"{r['body_runs']} runs of the body")
    out["problems"] = problems
    return out
