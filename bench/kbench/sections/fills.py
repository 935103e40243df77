"""ns per miss in each 50k-call chunk of a 400k-call fill of one instance."""

from __future__ import annotations

import functools
import math

from ..config import Config
from ..subjects import FILL_IMPLS
from ..timing import GCState, fresh, gc_pair, make_arg_loop, make_args, reset


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
