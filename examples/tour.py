"""A guided tour of kestrine. Run it (`make demo`) and read it next to its output.

Every decorated body below bumps a counter before it does its work, so the output
says exactly which bodies ran ("ran: ...") and which calls were served from the cache.
The inspection properties return dicts in no fixed order; the tour sorts them before
printing so the output is the same on every run.
"""

import pickle
from collections import Counter

from kestrine import KestrineBase, automagically_kestrined, kestrined


# --- small helpers for printing ---------------------------------------------------


def header(title):
    print()
    print(f"== {title} ==")


def call_text(call):
    """A call as the inspection properties show it: a str for a call without
    arguments, otherwise the key tuple (name, ((parameter, value), ...))."""
    if isinstance(call, str):
        return call
    name, pairs = call
    return f"{name}({', '.join(f'{p}={v!r}' for p, v in pairs)})"


def sorted_calls(calls):
    return sorted(calls, key=call_text)


def show_states(obj, *names):
    """Print the validation state of the given calls (all calls when none given)."""
    states = obj.validation_state
    calls = sorted_calls(states) if not names else names
    for call in calls:
        print(f"  {call_text(call):<22} {states.get(call, '(not registered)')}")


class Counting(KestrineBase):
    """Base class of the tour's examples: counts how often each body runs."""

    def __init__(self):
        self.runs = Counter()

    def ran(self, name):
        self.runs[name] += 1

    def report_runs(self, what):
        """Print which bodies ran since the last report, then reset the counter."""
        ran = ", ".join(f"{n} x{c}" if c > 1 else n for n, c in sorted(self.runs.items()))
        print(f"  {what:<42} ran: {ran or 'nothing (served from cache)'}")
        self.runs.clear()


# --- 1. memoisation and call keys -------------------------------------------------


class Box(Counting):
    @kestrined()
    def area(self, width, height=2):
        self.ran("area")
        return width * height

    @kestrined()
    def unit(self):
        self.ran("unit")
        return "cm^2"


def memoisation():
    header("1. Memoisation and call keys")
    box = Box()
    print("A call's arguments are bound to the signature, defaults filled in, and the")
    print("sorted (parameter, value) pairs form the key. These four calls share one key:")
    for text, call in [
        ("box.area(3)", lambda: box.area(3)),
        ("box.area(width=3)", lambda: box.area(width=3)),
        ("box.area(3, 2)", lambda: box.area(3, 2)),
        ("box.area(height=2, width=3)", lambda: box.area(height=2, width=3)),
    ]:
        result = call()
        box.report_runs(f"{text} = {result}")
    box.report_runs(f"box.area(4) = {box.area(4)}")
    box.report_runs(f"box.unit() = {box.unit()!r}")

    print("cached_values shows a call without arguments by its name, any other call")
    print("by its key tuple:")
    for call, value in sorted(box.cached_values.items(), key=lambda kv: call_text(kv[0])):
        print(f"  {call!r}: {value!r}")

    print("get_cached_value names the call by keywords; defaults are NOT filled in:")
    print(f"  get_cached_value('area', width=3, height=2) -> {box.get_cached_value('area', width=3, height=2)}")
    try:
        box.get_cached_value("area", width=3)
    except KeyError as exc:
        print(f"  get_cached_value('area', width=3)          -> KeyError {exc}")
    print(f"  is_cached('unit') -> {box.is_cached('unit')}")

    other = Box()
    other.report_runs(f"another Box: other.area(3) = {other.area(3)}")
    print("Each instance has its own cache: the second box computed area(3) itself.")


# --- 2. where dependencies come from ----------------------------------------------


class Invoice(Counting):
    def __init__(self, prices):
        super().__init__()
        self.prices = prices

    @kestrined()
    def rate(self):
        self.ran("rate")
        return 0.25

    @kestrined()
    def price(self, index):
        self.ran("price")
        return self.prices[index]

    # Tracked at run time: every decorated call this body makes is recorded,
    # including calls with arguments, which source discovery cannot name.
    @kestrined(track_runtime_dependencies=True)
    def net(self):
        self.ran("net")
        return sum(self.price(i) for i in range(len(self.prices)))

    # Declared by name in the decorator.
    @kestrined(dependencies=["net", "rate"])
    def tax(self):
        self.ran("tax")
        return self.net() * self.rate()

    # Discovered: the source is read for `self.<name>()` calls without arguments,
    # which finds `net` and `tax` (automagically_kestrined also tracks at run time).
    @automagically_kestrined()
    def total(self):
        self.ran("total")
        return self.net() + self.tax()


def print_graph(obj):
    graph = obj.dependency_graph
    for call in sorted_calls(graph):
        dependents = ", ".join(call_text(d) for d in sorted_calls(graph[call])) or "-"
        print(f"  {call_text(call):<22} is needed by: {dependents}")


def dependencies():
    header("2. Dependencies: declared, discovered, tracked at run time")
    invoice = Invoice([10, 20, 50])
    invoice.report_runs(f"invoice.total() = {invoice.total()}")
    invoice.report_runs(f"invoice.total() = {invoice.total()}")
    print("dependency_graph maps every call to the calls that depend on it directly:")
    print_graph(invoice)
    print("net -> price(i) was recorded at run time, tax -> net/rate was declared and")
    print("total -> net/tax was discovered from total's source.")
    print("Changing one price invalidates everything that used it:")
    invoice.update_cached_value("price", 100, index=2)
    show_states(invoice)
    invoice.report_runs(f"invoice.total() = {invoice.total()}")


# --- 3. the three validation states -----------------------------------------------


class Pipeline(Counting):
    def __init__(self):
        super().__init__()
        self.tickets = 0

    @kestrined()
    def raw(self):
        self.ran("raw")
        return [3, 1, 2]

    @automagically_kestrined()
    def cleaned(self):
        self.ran("cleaned")
        return sorted(self.raw())

    @automagically_kestrined()
    def summary(self):
        self.ran("summary")
        return f"min {self.cleaned()[0]}, max {self.cleaned()[-1]}"

    @kestrined(use_cache=False)
    def ticket(self):
        self.ran("ticket")
        self.tickets += 1
        return self.tickets

    @automagically_kestrined()
    def stamped(self):
        self.ran("stamped")
        return f"{self.summary()} #{self.ticket()}"

    @kestrined()
    def calibration(self):
        self.ran("calibration")
        return 1.5

    # Declares calibration but never calls it.
    @kestrined(dependencies=["calibration"])
    def adjusted(self):
        self.ran("adjusted")
        return 10 * 1.5


def states():
    header("3. Validation states: valid, invalid, permanently invalid")
    p = Pipeline()
    p.report_runs(f"p.summary() = {p.summary()!r}")
    print("A computed call whose dependencies are all valid is 'valid' and is stored:")
    show_states(p, "raw", "cleaned", "summary")

    print("Clearing raw spreads along the dependents, transitively, to summary:")
    p.clear_cached_value("raw")
    show_states(p, "raw", "cleaned", "summary")
    stale = sorted(call_text(c) for c in p.cached_values)
    print(f"  stale values stay listed in cached_values: {', '.join(stale)}")
    print(f"  but are not served: is_cached('summary') = {p.is_cached('summary')}")
    p.report_runs(f"p.summary() = {p.summary()!r}")

    print("use_cache=False makes a call 'permanently invalid': it runs every time, and")
    print("so does every call that depends on it (the state spreads when they compute):")
    p.report_runs(f"p.stamped() = {p.stamped()!r}")
    p.report_runs(f"p.stamped() = {p.stamped()!r}")
    show_states(p, "ticket", "stamped", "summary")

    print("A declared dependency that was never computed also counts as permanently")
    print("invalid, and the dependent stays so even after the dependency is computed:")
    p.report_runs(f"p.adjusted() = {p.adjusted()}")
    p.report_runs(f"p.calibration() = {p.calibration()}")
    p.report_runs(f"p.adjusted() = {p.adjusted()}")
    show_states(p, "calibration", "adjusted")
    print("(Call the dependency inside the body, as cleaned() does with raw(), and the")
    print("dependent becomes valid on its first computation.)")


# --- 4. update_cached_value and clear_cached_value -------------------------------


def updates():
    header("4. update_cached_value and clear_cached_value")
    p = Pipeline()
    p.report_runs(f"p.summary() = {p.summary()!r}")
    print("update_cached_value replaces a stored value and leaves the call valid;")
    print("everything that depends on it becomes invalid:")
    p.update_cached_value("raw", [9, 7, 8])
    show_states(p, "raw", "cleaned", "summary")
    p.report_runs(f"p.raw() = {p.raw()}")
    p.report_runs(f"p.summary() = {p.summary()!r}")

    print("clear_cached_value removes the value; the next call computes it again:")
    p.clear_cached_value("cleaned")
    show_states(p, "raw", "cleaned", "summary")
    p.report_runs(f"p.summary() = {p.summary()!r}")

    print("Only calls that hold a stored value can be updated or cleared:")
    p.clear_cached_value("raw")
    for text, action in [
        ("update_cached_value('raw', [1])", lambda: p.update_cached_value("raw", [1])),
        ("clear_cached_value('raw')", lambda: p.clear_cached_value("raw")),
        ("update_cached_value('never_called', 1)", lambda: p.update_cached_value("never_called", 1)),
    ]:
        try:
            action()
        except KeyError as exc:
            print(f"  {text:<40} -> KeyError {exc}")

    p.summary()
    p.runs.clear()
    p.clear_cache()
    print(f"clear_cache empties cached_values ({len(p.cached_values)} entries) and turns valid")
    print("calls invalid; keys and edges stay:")
    show_states(p, "raw", "cleaned", "summary")
    p.report_runs(f"p.summary() = {p.summary()!r}")


# --- 5. dump_cache and load_cache -------------------------------------------------


class Primes(Counting):
    def __init__(self, limit, name):
        super().__init__()
        self.limit = limit
        self.name = name

    @kestrined(serialisable=True)
    def table(self):
        self.ran("table")
        found = [n for n in range(2, self.limit) if all(n % d for d in range(2, n))]
        return {"primes": found, "computed by": self.name}

    @kestrined(serialisable=True)
    def label(self):
        self.ran("label")
        return f"primes below {self.limit}"

    @automagically_kestrined()
    def count(self):
        self.ran("count")
        return len(self.table()["primes"])


def persistence():
    header("5. dump_cache / load_cache with pickle")
    first = Primes(50, "first")
    first.report_runs(f"first.count() = {first.count()}")
    dump = first.dump_cache(order=["label", "table"])
    first.report_runs(f"first.dump_cache() keys {list(dump)}")
    print("Only serialisable methods are dumped (count is not); missing ones were computed.")
    blob = pickle.dumps(dump)
    print(f"pickled dump: {len(blob)} bytes")

    restored = pickle.loads(blob)
    second = Primes(50, "second")
    second.load_cache(restored, order=["label", "table"])
    second.report_runs("second.load_cache(pickle.loads(blob))")
    print("load_cache calls each method once before storing the loaded value, so bodies")
    print("of values not cached yet run during the load; then the loaded object is served:")
    table = second.table()
    second.report_runs(f"second.table()['computed by'] = {table['computed by']!r}")
    print(f"  second.table() is the unpickled object: {table is restored['table']}")
    second.report_runs(f"second.count() = {second.count()}")


if __name__ == "__main__":
    memoisation()
    dependencies()
    states()
    updates()
    persistence()
