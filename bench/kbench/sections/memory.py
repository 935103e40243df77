"""Bytes per entry at 1,000,000 entries and per instance (RSS delta, a fresh process each)."""

from __future__ import annotations

import gc
import os

from ..config import Config, run_child
from ..subjects import FILL_IMPLS, INSTANCE_IMPLS
from ..timing import fresh, make_args


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
    return run_child("memory-child", impl, str(count))


def section_memory(cfg: Config) -> dict:
    return {"entries": cfg.memory_entries, "gc_enabled": True,
            "rows": [memory_run(label, cfg.memory_entries) for label, _ in FILL_IMPLS]}
