"""ns per hit of obj.area(3) and obj.total() against each peer, and of an attribute store."""

from __future__ import annotations

import functools
import inspect
from typing import Any

from kestrine import KestrineBase

from .. import subjects
from ..config import Config
from ..subjects import (CachedPropTotal, KArea, KInstance, KStoresInstance, LruArea, PlainArea,
                        PlainInstance, cachetools, methodtools)
from ..timing import per_op, row


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


def section_hits(cfg: Config) -> dict:
    """ns per hit of obj.area(3) and obj.total(); kestrine first, then its target's peer."""
    peers: list[tuple[str, Any, int]] = [("functools.lru_cache", LruArea, cfg.hit_calls)]
    if cachetools is not None:
        peers.append(("cachetools.cachedmethod", subjects.CtArea, cfg.cachetools_calls))
    if methodtools is not None:
        peers.append(("methodtools.lru_cache", subjects.MtArea, cfg.methodtools_calls))
    peers.append(("inspect emulation", EmulatedArea, cfg.slow_calls))
    peers.append(("plain method (floor)", PlainArea, cfg.hit_calls))
    ours = ("kestrine @kestrined()", KArea, cfg.hit_calls)
    stores: list[tuple[str, Any, int]] = [("KestrineBase subclass", KInstance, cfg.hit_calls)]
    if KStoresInstance is not None:
        stores.append(("KestrineBase subclass, specialised_stores=True", KStoresInstance,
                       cfg.hit_calls))
    stores.append(("plain class", PlainInstance, cfg.hit_calls))
    cases = [
        ("hit obj.area(3)", "obj.area(3)", [ours, *peers]),
        ("hit obj.total()", "obj.total()",
         [ours, ("functools.cached_property", CachedPropTotal, cfg.hit_calls), *peers]),
        # An ordinary attribute: KestrineBase checks the name against the decorated methods.
        ("store obj.x = 5", "obj.x = 5", stores),
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
