"""Timing helpers: generated loops, collector states, best-of repeats, per-operation figures."""

from __future__ import annotations

import functools
import gc
import math
import textwrap
from time import perf_counter_ns

from .config import Config

UNROLL = 10
ARG_BASE = 1_000_000  # arguments from here up are distinct int objects, not shared small ints
GC_STATES = ("gc_on", "gc_off")
LRU_WRAPPER = type(functools.lru_cache(maxsize=None)(lambda: None))


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
