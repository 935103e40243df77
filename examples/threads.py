"""Per-thread instances in a thread pool, and one instance shared by the whole pool.

Threads may share a kestrine instance: a request that meets another thread's short guarded
step waits for it, hits from many threads read side by side, and run-time dependencies
belong to the thread that makes the calls. Instances are independent caches: with one
instance per thread (threading.local) a key computed on one thread is computed again on
another, so the parallel run does at least as much work as the sequential one. A shared
instance computes each key once, or a few times when threads miss it at the same moment.
Both return exactly the results of the sequential run.

Usage: threads.py [WORKERS]   (default 4)
"""

import sys
import threading
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

from kestrine import KestrineBase, automagically_kestrined, kestrined


class Quoter(KestrineBase):
    def __init__(self, shared=False):
        self.owner = None if shared else threading.get_ident()
        self.runs = Counter()
        self.runs_lock = threading.Lock()  # shared instances count from several threads

    def check_owner(self):
        if self.owner is not None and threading.get_ident() != self.owner:
            raise RuntimeError("instance used by a thread other than its owner")

    def ran(self, name):
        with self.runs_lock:
            self.runs[name] += 1

    @kestrined()
    def base_price(self, sku):
        self.check_owner()
        self.ran("base_price")
        # Some deterministic, not entirely trivial work per item.
        return sum((sku * 7919 + i) % 101 for i in range(20000)) / 100

    @kestrined()
    def fx_rate(self, currency):
        self.ran("fx_rate")
        return {"EUR": 1.0, "USD": 1.08, "GBP": 0.85, "CHF": 0.94}[currency]

    @automagically_kestrined()
    def quote(self, sku, currency, quantity):
        self.ran("quote")
        return round(self.base_price(sku) * self.fx_rate(currency) * quantity, 2)


def make_orders(n):
    """A deterministic stream of orders with many repeated keys."""
    currencies = ["EUR", "USD", "GBP", "CHF"]
    return [(i * 37 % 11, currencies[i * 13 % 4], 1 + i % 3) for i in range(n)]


def main(workers=4, n_orders=400):
    orders = make_orders(n_orders)
    print(f"free-threaded interpreter, GIL enabled: {sys._is_gil_enabled()}")
    print(f"orders: {len(orders)}, distinct orders: {len(set(orders))}, "
          f"distinct items: {len({sku for sku, _, _ in orders})}")

    sequential = Quoter()
    expected = [sequential.quote(*order) for order in orders]
    print(f"sequential: one instance, body runs {dict(sorted(sequential.runs.items()))}")

    local = threading.local()
    instances = []
    instances_lock = threading.Lock()

    def instance():
        if not hasattr(local, "quoter"):
            local.quoter = Quoter()
            with instances_lock:
                instances.append(local.quoter)
        return local.quoter

    def handle(order):
        return instance().quote(*order)

    with ThreadPoolExecutor(max_workers=workers) as pool:
        results = list(pool.map(handle, orders))

    total = Counter()
    for q in instances:
        total.update(q.runs)
    print(f"parallel: {workers} workers, {len(instances)} instances "
          f"(owners {len({q.owner for q in instances})} distinct threads), "
          f"body runs {dict(sorted(total.items()))}")
    for i, q in enumerate(instances):
        valid = sum(1 for c, s in q.validation_state.items() if c[0] == "quote" and s == "valid")
        print(f"  instance {i}: quote body ran {q.runs['quote']}, valid quotes cached {valid}")
    print(f"results equal the sequential run: {results == expected}")

    shared = Quoter(shared=True)
    with ThreadPoolExecutor(max_workers=workers) as pool:
        shared_results = list(pool.map(lambda order: shared.quote(*order), orders))
    valid = sum(1 for c, s in shared.validation_state.items() if c[0] == "quote" and s == "valid")
    print(f"shared: {workers} workers, one instance, body runs {dict(sorted(shared.runs.items()))}, "
          f"valid quotes cached {valid}")
    print(f"shared results equal the sequential run: {shared_results == expected}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 4)
