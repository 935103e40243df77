"""clear_cached_value of a root with N run-time dependents, for two sizes of N."""

from __future__ import annotations

from time import perf_counter_ns

from kestrine import KestrineBase, kestrined

from ..config import Config
from ..timing import GC_STATES, best_of, gc_pair


class Tree(KestrineBase):
    @kestrined()
    def root(self):
        return 0

    @kestrined(track_runtime_dependencies=True)
    def leaf(self, i):
        return self.root()


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
