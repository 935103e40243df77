"""Leak-check driver for `make asan`: exercises the module's entry points, success and
error paths, on classes and instances that are all gone again before the interpreter
exits, so that LeakSanitizer's exit-time check sees every C++ allocation's owner freed.

The test suite cannot serve for this: much of what it makes lives until exit (module-level
classes and their instances), and the interpreter's object heap is outside what
LeakSanitizer scans, so everything such an object owns would read as leaked. Here instances
whose caches refer back to them are freed by the collector, others by reset_cache(). No
thread is started: once a second thread runs, the free-threaded 3.13 interpreter makes every
class and function immortal, so no class would be freed before exit.
"""

import gc
import sys

from kestrine import KestrineBase, automagically_kestrined, kestrined


def make_class():
    class Grid(KestrineBase):
        def __init__(self, n):
            self.n = n

        @kestrined(serialisable=True)
        def size(self):
            return [self.n]

        @kestrined()
        def cell(self, i, scale=1):
            return [i * scale, self.n]

        @kestrined(dependencies=["size", ("cell", {"i": 1, "scale": 1})])
        def row(self, r, *extra):
            return sum(self.cell(i)[0] for i in range(r)) + len(extra)

        @kestrined()
        def options(self, **named):
            return named

        @automagically_kestrined()
        def total(self):
            return self.size()[0] + self.row(self.n) + self.cell(0, scale=2)[0]

        @kestrined(use_cache=False)
        def uncached(self, x):
            return {"x": x}

        @kestrined()
        def fails(self, x):
            raise ValueError(x)

        @kestrined()
        def me(self, other):  # a value and a key argument that refer back: cycles
            return [self, other]

    return Grid


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call} did not raise {error.__name__}")


def round_trip(rounds):
    for r in range(rounds):
        Grid = make_class()
        a, b = Grid(3), Grid(4)
        a.total(), b.total(), a.row(2, 7), a.uncached(r)
        a.update_cached_value("cell", [9, 9], i=1, scale=1)
        a.total()  # recomputes what the update invalidated
        a.clear_cached_value("cell", i=0, scale=1)
        a.cached_values, a.dependency_graph, a.validation_state, a.is_cached("total")
        b.load_cache(a.dump_cache())
        a.get_cached_value("cell", i=1, scale=1)
        expect(ValueError, a.fails, r)
        expect(TypeError, a.cell, [r])  # unhashable argument
        expect(TypeError, a.cell)  # missing argument
        expect(TypeError, a.options, k=r)  # the collected keywords are an unhashable dict
        expect(KeyError, a.get_cached_value, "cell", i=99)
        expect(KeyError, a.clear_cached_value, "nothing")
        expect(TypeError, kestrined, use_cache=1, bogus=2)
        b.clear_cache()
        a.me(b), b.me(a)  # only the collector frees these now
        c = Grid(5)
        c.total(), c.me((r, c))
        c.reset_cache()
        del a, b, c, Grid
    gc.collect()


if __name__ == "__main__":
    round_trip(int(sys.argv[1]) if len(sys.argv) > 1 else 50)
    print("lsan churn: done")
