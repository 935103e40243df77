"""Real work on objects that are built and then used: N nodes, each built by an __init__ of
five attribute stores, then a light memoised value() called ten times per node (the first
call computes, nine hit; a cached_property is read instead); and what a built node costs in
size and memory.

Every variant is the same class text with another base or decorator, compiled anew per
variant so that its __init__ and value() specialise for that class alone (the stores of an
__init__ shared between classes would specialise for one and miss for the others). A repeat
builds every variant's nodes in turn, keeps them in a list for the calls, then drops them;
a phase's figure is its best over the repeats, and a node's total the sum of the two.
"""

from __future__ import annotations

import functools
import gc
import sys

from kestrine import KestrineBase, kestrined

from ..config import Config, run_child
from ..timing import GC_STATES, GCState, compile_loop, make_args, reset
from .memory import rss_bytes

PLAIN = "plain class (floor)"
KESTRINE = "kestrine @kestrined()"
STORES = "kestrine, specialised_stores=True"
CACHED = "functools.cached_property"
LRU = "functools.lru_cache"

# label: (bases, decorator of value, the expression that asks a node for its value)
VARIANTS = {
    PLAIN: ("", "", "o.value()"),
    KESTRINE: ("KestrineBase", "@kestrined()", "o.value()"),
    STORES: ("KestrineBase, specialised_stores=True", "@kestrined()", "o.value()"),
    CACHED: ("", "@functools.cached_property", "o.value"),
    LRU: ("", "@functools.lru_cache(maxsize=None)", "o.value()"),
}
# Only this variant may be missing: the class keyword is newer than some builds.
OPTIONAL = {STORES}
CALLS_PER_NODE = 10
WARM_NODES = 100
# The constructor's arguments after the first, which differs per node; value() is a + 7.
REST = (2, 3, 4, 5)

NODE_SRC = """\
class Node({bases}):
    def __init__(self, a, b, c, d, e):
        self.a = a
        self.b = b
        self.c = c
        self.d = d
        self.e = e

    {decorator}
    def value(self):
        return self.a + self.b * self.c - self.d + self.e
"""


def expected_value(a: int) -> int:
    b, c, d, e = REST
    return a + b * c - d + e


def node_class(variant: str):
    """A new Node class of `variant`, its code compiled for it alone; None when the running
    build does not take the variant's class keyword."""
    bases, decorator, _ = VARIANTS[variant]
    namespace = {"KestrineBase": KestrineBase, "kestrined": kestrined, "functools": functools}
    code = compile(NODE_SRC.format(bases=bases, decorator=decorator), f"<node {variant}>",
                   "exec")
    try:
        exec(code, namespace)
    except TypeError:
        if variant not in OPTIONAL:
            raise
        return None
    return namespace["Node"]


def build_loop(variant: str):
    """loop(cls, args) -> (elapsed ns, the nodes): one node per argument."""
    rest = ", ".join(map(str, REST))
    return compile_loop(
        "def loop(cls, args):\n"
        "    t0 = clock()\n"
        f"    nodes = [cls(a, {rest}) for a in args]\n"
        "    return clock() - t0, nodes\n",
        f"build {variant}",
    )


def call_loop(variant: str):
    """loop(nodes) -> elapsed ns of asking every node for its value CALLS_PER_NODE times."""
    call = VARIANTS[variant][2]
    return compile_loop(
        "def loop(nodes):\n"
        "    t0 = clock()\n"
        "    for o in nodes:\n"
        f"        {'; '.join([call] * CALLS_PER_NODE)}\n"
        "    return clock() - t0\n",
        f"call {variant}",
    )


def check_calls(variant: str, cls, nodes: list, args: list) -> list:
    """What is wrong with `nodes` after one call loop: values, and what each cache counted
    (the checking calls here count as hits too)."""
    problems = []
    call = VARIANTS[variant][2]
    wrong = sum(eval(call, {"o": o}) != expected_value(a) for o, a in zip(nodes, args))
    if wrong:
        problems.append(f"objects, {variant}: {wrong} of {len(nodes)} nodes gave a wrong value")
    if variant in (KESTRINE, STORES):
        counts = {(i.hits, i.misses) for i in (o.cache_info("value") for o in nodes)}
        if counts != {(CALLS_PER_NODE, 1)}:
            problems.append(f"objects, {variant}: (hits, misses) per node {sorted(counts)}, "
                            f"expected ({CALLS_PER_NODE}, 1)")
    elif variant == LRU:
        info = cls.value.cache_info()
        if (info.hits, info.misses) != (CALLS_PER_NODE * len(nodes), len(nodes)):
            problems.append(f"objects, {variant}: {info} after {len(nodes)} nodes")
    elif variant == CACHED:
        missing = sum("value" not in vars(o) for o in nodes)
        if missing:
            problems.append(f"objects, {variant}: {missing} nodes stored no value")
    return problems


class Subject:
    """One variant's class and loops, warmed up and checked on WARM_NODES nodes."""

    def __init__(self, variant: str, cls):
        self.variant, self.cls = variant, cls
        self.build, self.call = build_loop(variant), call_loop(variant)
        reset(cls)
        args = make_args(WARM_NODES)
        _, nodes = self.build(cls, args)
        self.call(nodes)
        self.problems = check_calls(variant, cls, nodes, args)
        reset(cls)

    def once(self, args: list) -> tuple[int, int]:
        """(ns building a node per argument, ns of their calls); the nodes are dropped."""
        built, nodes = self.build(self.cls, args)
        called = self.call(nodes)
        del nodes
        reset(self.cls)  # lru_cache holds the nodes until its cache is cleared
        return built, called


def timings(subjects: list, count: int, repeats: tuple[int, int]) -> dict:
    """{variant: {"build" | "call": {state: best ns}}}; each repeat takes every variant in
    turn, so that drift over the run falls on all of them alike."""
    args = make_args(count)
    best = {s.variant: {phase: dict.fromkeys(GC_STATES, float("inf"))
                        for phase in ("build", "call")} for s in subjects}
    for state, n in zip(GC_STATES, repeats):
        for _ in range(n):
            for s in subjects:
                with GCState(state == "gc_on"):
                    built, called = s.once(args)
                figures = best[s.variant]
                figures["build"][state] = min(figures["build"][state], built)
                figures["call"][state] = min(figures["call"][state], called)
    return best


def objects_child(variant: str, count: int) -> dict:
    """Runs in a fresh process: allocated blocks and RSS grown by building `count` nodes,
    kept in a list allocated beforehand, before any call. The collector stays enabled."""
    cls = node_class(variant)
    if cls is None:
        raise SystemExit(f"objects: this build has no {variant}")
    args = make_args(count)
    keep = [None] * count
    build = build_loop(variant)
    build(cls, make_args(WARM_NODES))  # the type's first instances and specialisation
    gc.collect()
    rss, blocks = rss_bytes(), sys.getallocatedblocks()
    for i in range(count):
        keep[i] = cls(args[i], *REST)
    rss, blocks = rss_bytes() - rss, sys.getallocatedblocks() - blocks
    return {"impl": variant, "count": count, "gc_enabled": gc.isenabled(),
            "blocks_delta": blocks, "rss_delta_bytes": rss,
            "blocks_each": blocks / count, "rss_bytes_each": rss / count}


def section_objects(cfg: Config) -> dict:
    """Build, call, and the size of a built node, for each variant the build supports."""
    classes = {variant: node_class(variant) for variant in VARIANTS}
    unsupported = [v for v, cls in classes.items() if cls is None]
    subjects = [Subject(v, cls) for v, cls in classes.items() if cls is not None]
    best = timings(subjects, cfg.object_count, cfg.repeats)
    rows = []
    for s in subjects:
        b, c = best[s.variant]["build"], best[s.variant]["call"]
        rows.append({
            "impl": s.variant,
            "build_ns": {st: b[st] / cfg.object_count for st in GC_STATES},
            "call_ns": {st: c[st] / cfg.object_count for st in GC_STATES},
            "total_ns": {st: (b[st] + c[st]) / cfg.object_count for st in GC_STATES},
        })
    sizes = []
    for s in subjects:
        measured = run_child("objects-child", s.variant, str(cfg.object_count))
        sizes.append({"impl": s.variant, "basicsize": s.cls.__basicsize__,
                      # Py_TPFLAGS_INLINE_VALUES: the attributes live in the object itself
                      "inline_values": bool(s.cls.__flags__ & (1 << 2)),
                      **{k: v for k, v in measured.items() if k != "impl"}})
    return {"nodes": cfg.object_count, "calls_per_node": CALLS_PER_NODE, "rows": rows,
            "sizes": sizes, "unsupported": unsupported,
            "problems": [p for s in subjects for p in s.problems]}
