"""ns per miss, a fresh key each call, on a method with two declared dependencies."""

from __future__ import annotations

import functools

from kestrine import KestrineBase, kestrined

from .. import subjects
from ..config import Config
from ..subjects import cachetools
from ..timing import best_of, fresh, gc_pair, make_arg_loop, make_args, reset, row


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
        impls.append(("cachetools.cachedmethod", subjects.CtArea, lambda o: o.miss(0)))
    return {"rows": [row(case, label, measure(cls, prep), calls=len(args))
                     for label, cls, prep in impls]}
