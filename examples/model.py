"""A small engineering model with dependent computed values.

A cylindrical water tank: three inputs (radius, height, price per cubic metre) and
values derived from them. The inputs are memoised methods too; changing one is an
`update_cached_value`, which invalidates exactly the values that depend on it, and the
next read recomputes those and nothing else.

Output: the dependency graph, then for every change the values read afterwards and the
bodies that ran to produce them.
"""

import math
from collections import Counter

from kestrine import KestrineBase, automagically_kestrined, kestrined


class Tank(KestrineBase):
    def __init__(self, radius, height, price_per_m3):
        self.initial = {"radius": radius, "height": height, "price_per_m3": price_per_m3}
        self.runs = Counter()

    # Inputs: computed once from the constructor's arguments, then changed with
    # update_cached_value.
    @kestrined()
    def radius(self):
        self.runs["radius"] += 1
        return self.initial["radius"]

    @kestrined()
    def height(self):
        self.runs["height"] += 1
        return self.initial["height"]

    @kestrined()
    def price_per_m3(self):
        self.runs["price_per_m3"] += 1
        return self.initial["price_per_m3"]

    # Derived values: their dependencies are found in their source.
    @automagically_kestrined()
    def base_area(self):
        self.runs["base_area"] += 1
        return math.pi * self.radius() ** 2

    @automagically_kestrined()
    def wall_area(self):
        self.runs["wall_area"] += 1
        return 2 * math.pi * self.radius() * self.height()

    @automagically_kestrined()
    def volume(self):
        self.runs["volume"] += 1
        return self.base_area() * self.height()

    @automagically_kestrined()
    def cost(self):
        self.runs["cost"] += 1
        return self.volume() * self.price_per_m3()

    # A derived value with an argument: `self.cost()` is found in the source,
    # and the call is tracked at run time as well. Updating an input with an equal
    # value invalidates all the same: values are not compared.
    @automagically_kestrined()
    def fill_cost(self, fraction):
        self.runs["fill_cost"] += 1
        return self.cost() * fraction


INPUTS = ("radius", "height", "price_per_m3")
OUTPUTS = ("base_area", "wall_area", "volume", "cost")


def read_all(tank):
    """Read every value; return the values and which bodies ran."""
    tank.runs.clear()
    values = {name: getattr(tank, name)() for name in INPUTS + OUTPUTS}
    values["fill_cost(0.5)"] = tank.fill_cost(0.5)
    return values, dict(tank.runs)


def print_state(values, runs):
    for name, value in values.items():
        print(f"  {name:<15} = {value:.4f}")
    print(f"  recomputed: {', '.join(sorted(runs)) or '(nothing)'}")


def show_key(call):
    if isinstance(call, str):
        return call
    name, pairs = call
    return f"{name}({', '.join(f'{p}={v!r}' for p, v in pairs)})"


def main():
    tank = Tank(radius=1.0, height=2.0, price_per_m3=30.0)
    print("initial read")
    print_state(*read_all(tank))

    print("dependency graph (a call: the calls that use it directly)")
    graph = tank.dependency_graph
    for call in sorted(graph, key=show_key):
        users = sorted(show_key(d) for d in graph[call])
        print(f"  {show_key(call)}: {', '.join(users) or '-'}")

    print("read again")
    print_state(*read_all(tank))

    for name, value in [("price_per_m3", 45.0), ("height", 3.0), ("radius", 2.0), ("height", 3.0)]:
        old = tank.get_cached_value(name)
        tank.update_cached_value(name, value)
        stale = sorted(show_key(c) for c, s in tank.validation_state.items() if s != "valid")
        print(f"update {name}: {old} -> {value}")
        print(f"  invalidated: {', '.join(stale) or '(nothing)'}")
        print_state(*read_all(tank))


if __name__ == "__main__":
    main()
