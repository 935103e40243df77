"""CPU-time inflation and throughput of 1, 2 and os.cpu_count() threads, and waits."""

from __future__ import annotations

import os
import statistics
import threading
import time
from time import perf_counter_ns, thread_time_ns

from kestrine import KestrineBase, kestrined

from ..config import Config
from ..subjects import CachedPropTotal, Fill, KArea, LruArea, PlainArea
from ..timing import GCState, UNROLL, gc_pair, make_arg_loop, make_args, make_loop, reset


class Work:
    """A fixed amount of work for one thread.

    make() builds the warmed state in the thread that calls it; run(state) does the timed
    calls and returns how many RuntimeError refusals it caught.
    """

    def __init__(self, label, make, run, calls, shareable=True, own=True):
        self.label, self.make, self.run = label, make, run
        self.calls, self.shareable, self.own = calls, shareable, own


def hit_work(label: str, cls, expr: str, calls: int) -> Work:
    loop = make_loop(expr, count_refusals=True)
    iterations = calls // UNROLL

    def make():
        obj = cls()
        loop(obj, 10)
        return obj

    return Work(label, make, lambda obj: loop(obj, iterations), iterations * UNROLL)


CROWD = 12  # more shared instances than a thread's record keeps hit counts for


def announce_reads(objs) -> None:
    """Two threads hit each instance at once until their reads are announced (they met)."""
    barrier = threading.Barrier(2)

    def hit_all():
        for obj in objs:
            barrier.wait()
            for _ in range(20_000):  # about a millisecond: long enough to meet
                obj.total()

    threads = [threading.Thread(target=hit_all) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def hit_amid_crowd_work(calls: int) -> Work:
    """obj.total() on a shared instance, by threads that first read CROWD other shared
    instances which stay alive: the instance is not among the first pairs they count for."""
    loop = make_loop("obj.total()", count_refusals=True)
    iterations = calls // UNROLL

    def make():
        obj, crowd = KArea(), [KArea() for _ in range(CROWD)]
        loop(obj, 10)
        announce_reads(crowd)
        return obj, crowd

    def run(state):
        obj, crowd = state
        for other in crowd:
            other.total()
        return loop(obj, iterations)

    return Work(f"kestrine obj.total(), {CROWD} other shared instances read first", make, run,
                iterations * UNROLL, own=False)


def fill_work(calls: int) -> Work:
    loop = make_arg_loop("obj.f(a)")

    def make():
        obj = Fill()
        obj.f(-1)
        return obj, make_args(calls)  # each thread's own argument objects

    def run(state):
        loop(*state)
        return 0

    return Work("kestrine fill obj.f(i)", make, run, calls, shareable=False)


def run_threads(work: Work, nthreads: int, shared=None) -> tuple[int, list, int, float]:
    """(wall ns, [thread CPU ns], refusals, overlap) of `nthreads` threads doing `work` once.

    Each thread makes its own state before the start barrier, unless `shared` is given.
    overlap: the wall time during which all threads were running ÷ the median thread's wall
    time (1.0: they ran side by side throughout; 0: one after the other).
    """
    barrier = threading.Barrier(nthreads)
    starts, ends, cpu = [0] * nthreads, [0] * nthreads, [0] * nthreads
    refused, errors = [0] * nthreads, []

    def worker(idx):
        try:
            state = work.make() if shared is None else shared
            barrier.wait()
            cpu[idx] = -thread_time_ns()
            starts[idx] = perf_counter_ns()
            refused[idx] = work.run(state)
            ends[idx] = perf_counter_ns()
            cpu[idx] += thread_time_ns()
        except BaseException as exc:  # reported after join
            errors.append(exc)
            barrier.abort()

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    together = max(0, min(ends) - max(starts))
    overlap = together / statistics.median(e - s for s, e in zip(starts, ends))
    return max(ends) - min(starts), cpu, sum(refused), overlap


def thread_stats(work: Work, nthreads: int, shared: bool, gc_on: bool, rounds: int) -> dict:
    """Medians over rounds of: the work alone in one thread, then in `nthreads` at once."""
    inflation, throughput, alone_cpu, overlap, refusals = [], [], [], [], 0
    with GCState(gc_on):
        state = work.make() if shared else None  # warmed here, before any thread starts
        for _ in range(rounds):
            wall_1, (cpu_1,), _, _ = run_threads(work, 1, state)
            wall_n, cpus, refused, together = run_threads(work, nthreads, state)
            inflation.append(statistics.fmean(cpus) / cpu_1)
            throughput.append(nthreads * wall_1 / wall_n)
            alone_cpu.append(cpu_1)
            overlap.append(together)
            refusals += refused
    return {
        "cpu_ns_per_op_alone": statistics.median(alone_cpu) / work.calls,
        "cpu_inflation": statistics.median(inflation),
        "throughput_ratio": statistics.median(throughput),
        "overlap": statistics.median(overlap),
        "refusals": refusals,
        "concurrent_calls": rounds * nthreads * work.calls,
        "cpu_inflation_rounds": inflation,
        "throughput_ratio_rounds": throughput,
    }


class SlowHash:
    """Hashing takes `seconds` (sleeping) once armed: a query hashing it holds its instance."""

    def __init__(self):
        self.seconds = 0.0
        self.entered = threading.Event()

    def __hash__(self):
        if self.seconds:
            self.entered.set()
            time.sleep(self.seconds)
        return 1


class Held(KestrineBase):
    @kestrined()
    def keyed(self, key):
        return 1

    @kestrined()
    def value(self):
        return 2


def measure_wait(request: str, hold_s: float) -> dict:
    """CPU and wall time of a request that meets another thread's exclusive hold of
    `hold_s` seconds (a query whose argument's hash sleeps)."""
    obj, key = Held(), SlowHash()
    obj.keyed(key), obj.value()
    key.seconds = hold_s
    holder = threading.Thread(target=lambda: obj.is_cached("keyed", key=key))
    holder.start()
    key.entered.wait()
    key.seconds = 0.0  # the holder sleeps already; hashing the key again is instant
    calls = {"query": lambda: obj.is_cached("value"), "property": lambda: obj.validation_state,
             "hit": lambda: obj.value()}
    cpu, wall = thread_time_ns(), perf_counter_ns()
    calls[request]()
    cpu, wall = thread_time_ns() - cpu, perf_counter_ns() - wall
    holder.join()
    return {"request": request, "cpu_ms": cpu / 1e6, "wall_ms": wall / 1e6}


def section_threads(cfg: Config) -> dict:
    """Own instances of one class for 1, 2 and os.cpu_count() threads; one shared warm
    instance for 2 threads (hits only). Inflation = a thread's CPU time for its work while
    the others run their copies ÷ the same work alone (1.0: no interference); throughput =
    calls per wall second of all threads ÷ one thread's alone (ideal: the thread count)."""
    n = cfg.thread_calls
    works = [
        hit_work("kestrine obj.area(3)", KArea, "obj.area(3)", n),
        hit_work("kestrine obj.total()", KArea, "obj.total()", n),
        hit_amid_crowd_work(n),
        hit_work("plain method obj.area(3)", PlainArea, "obj.area(3)", n),
        hit_work("functools.lru_cache obj.area(3)", LruArea, "obj.area(3)", n),
        hit_work("functools.cached_property obj.total", CachedPropTotal, "obj.total", n),
        fill_work(cfg.thread_fills),
    ]
    counts = sorted({1, 2, os.cpu_count() or 1})
    setups = [(c, False) for c in counts] + [(2, True)]
    rows = []
    for work in works:
        for nthreads, shared in setups:
            if (shared and not work.shareable) or (not shared and not work.own):
                continue
            stats = gc_pair(
                lambda gc_on, rounds: thread_stats(work, nthreads, shared, gc_on, rounds),
                (cfg.thread_rounds, cfg.thread_rounds))
            rows.append({"impl": work.label, "threads": nthreads,
                         "instances": "shared" if shared else "own",
                         "calls_per_thread": work.calls, **stats})
    reset(LruArea)
    waits = [measure_wait(request, 0.1) for request in ("query", "property", "hit")]
    return {"thread_counts": counts, "rounds": cfg.thread_rounds, "rows": rows, "waits": waits}
