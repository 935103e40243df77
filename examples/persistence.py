"""Keep expensive results across restarts with dump_cache / load_cache and pickle.

`dump_cache()` returns a plain dict {method name: value} of the methods marked
`serialisable=True` (computing the ones not cached yet); pickle it to a file. After a
restart, `load_cache(dict)` puts the values back into a fresh instance.

One thing to know: `load_cache` calls each loaded method once, through the normal cached
call, before it stores the loaded value. On a fresh instance that runs the method's body,
which for an expensive method defeats the purpose. The `Restorable` base class below
avoids that: while it loads, its serialisable bodies return a cheap placeholder, which the
loaded value then replaces.

Usage: persistence.py [PATH]   (PATH of the pickle file; default: a temporary file)
"""

import os
import pickle
import sys
import tempfile
import time
from collections import Counter

from kestrine import KestrineBase, automagically_kestrined, kestrined

PLACEHOLDER = object()


class Restorable(KestrineBase):
    restoring = False

    def save(self, path):
        with open(path, "wb") as f:
            pickle.dump(self.dump_cache(), f)

    def restore(self, path, placeholders=True):
        with open(path, "rb") as f:
            data = pickle.load(f)
        self.restoring = placeholders
        try:
            self.load_cache(data)
        finally:
            self.restoring = False


class Catalogue(Restorable):
    """Expensive tables (serialisable) and cheap values derived from them."""

    def __init__(self, limit):
        self.limit = limit
        self.runs = Counter()

    @kestrined(serialisable=True)
    def primes(self):
        if self.restoring:
            return PLACEHOLDER
        self.runs["primes"] += 1
        return [n for n in range(2, self.limit) if all(n % d for d in range(2, int(n**0.5) + 1))]

    @kestrined(serialisable=True)
    def divisor_counts(self):
        if self.restoring:
            return PLACEHOLDER
        self.runs["divisor_counts"] += 1
        return [sum(1 for d in range(1, n + 1) if n % d == 0) for n in range(1, self.limit // 20)]

    @automagically_kestrined()
    def summary(self):
        self.runs["summary"] += 1
        primes, counts = self.primes(), self.divisor_counts()
        return {
            "prime count": len(primes),
            "largest prime": primes[-1],
            "most divisors": max(range(len(counts)), key=counts.__getitem__) + 1,
        }


def timed(action):
    start = time.perf_counter()
    result = action()
    return result, (time.perf_counter() - start) * 1000


def main(path, limit=20000):
    print(f"pickle file: {path}")

    print("start 1 (cold): compute and save")
    first = Catalogue(limit)
    summary, ms = timed(first.summary)
    first.save(path)
    print(f"  summary: {summary}")
    print(f"  expensive bodies ran: {sorted(k for k in first.runs if k != 'summary')}  ({ms:.0f} ms)")
    with open(path, "rb") as f:
        on_disk = pickle.load(f)
    print(f"  saved: {os.path.getsize(path)} bytes, keys {sorted(on_disk)}")

    print("start 2 (restart, plain load_cache): bodies run once during the load")
    naive = Catalogue(limit)
    _, ms = timed(lambda: naive.restore(path, placeholders=False))
    print(f"  expensive bodies ran during restore: {sorted(naive.runs)}  ({ms:.0f} ms)")

    print("start 3 (restart, load with placeholders): nothing expensive runs")
    second = Catalogue(limit)
    _, ms = timed(lambda: second.restore(path))
    print(f"  expensive bodies ran during restore: {sorted(second.runs)}  ({ms:.0f} ms)")
    summary2, ms = timed(second.summary)
    print(f"  summary: {summary2}  ({ms:.0f} ms)")
    print(f"  bodies ran for summary: {sorted(second.runs)}")
    print(f"  restored values equal the saved ones: {all(getattr(second, k)() == v for k, v in on_disk.items())}")
    print(f"  summary equals start 1: {summary2 == summary}")
    print(f"  restored states: {dict(sorted(second.validation_state.items()))}")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as tmp:
            main(os.path.join(tmp, "catalogue.pickle"))
