"""Validation states of calls and how dependencies move them."""

from collections import Counter

import pytest

from conftest import Counting
from kestrine import KestrineBase, automagically_kestrined, kestrined

PERM = "permanently invalid"


class Graph(Counting):
    @kestrined()
    def b(self):
        return self.ran("b", ["b"])

    @kestrined(dependencies=["b"])
    def lazy(self):
        return self.ran("lazy", ["lazy"])

    @kestrined(dependencies=["b"])
    def eager(self):
        return self.ran("eager", self.b() + ["eager"])

    @kestrined(dependencies=["lazy"])
    def above_lazy(self):
        return self.ran("above_lazy", self.lazy())

    @kestrined(dependencies=["q"])
    def p(self):
        return self.ran("p", "p")

    @kestrined(dependencies=["p"])
    def q(self):
        return self.ran("q", "q")

    @kestrined(dependencies=["q2"])
    def p2(self):
        return self.ran("p2", self.q2())

    @kestrined(dependencies=["p2"])
    def q2(self):
        return self.ran("q2", "q2")

    @kestrined(use_cache=False)
    def volatile(self):
        return self.ran("volatile", object())

    @kestrined(dependencies=["volatile"])
    def on_volatile(self):
        return self.ran("on_volatile", self.volatile())

    @automagically_kestrined(dependencies=[])
    def x(self):
        if self.use_volatile:
            self.volatile()
        return self.ran("x", self.b())

    @kestrined(dependencies=["x"])
    def y(self):
        return self.ran("y", self.x())


def test_declared_dependency_never_called_is_permanent():
    g = Graph()
    assert g.lazy() == ["lazy"] and g.lazy() == ["lazy"]
    assert g.runs["lazy"] == 2
    assert g.validation_state == {"lazy": PERM}
    assert g.dependency_graph == {"b": {"lazy"}, "lazy": set()}
    g.b()
    g.lazy()
    assert g.runs["lazy"] == 3
    assert g.validation_state == {"lazy": PERM, "b": "valid"}
    assert g.cached_values == {"b": ["b"]}
    assert not g.is_cached("lazy")


def test_body_calling_its_dependency_becomes_valid():
    g = Graph()
    first = g.eager()
    assert g.eager() is first
    assert g.runs == Counter(b=1, eager=1)
    assert g.validation_state == {"b": "valid", "eager": "valid"}
    assert g.cached_values == {"b": ["b"], "eager": first}


@pytest.mark.parametrize("first, second, state", [
    ("p", "q", PERM),  # neither calls the other: a dependency never evaluated
    ("p2", "q2", "invalid"),  # p2 calls q2, which finds p2 still invalid
], ids=["lazy", "calling"])
def test_cycles_are_never_stored(first, second, state):
    g = Graph()
    for _ in range(2):
        getattr(g, first)(), getattr(g, second)()
    assert g.runs == Counter({first: 2, second: 2 + (first == "p2") * 2})
    assert g.validation_state == {first: state, second: state}
    assert g.dependency_graph == {first: {second}, second: {first}}
    assert g.cached_values == {}


def test_use_cache_false_always_computes_and_spreads():
    g = Graph()
    a, b = g.volatile(), g.volatile()
    assert a is not b and g.runs["volatile"] == 2
    assert g.validation_state == {"volatile": PERM}
    g.on_volatile(), g.on_volatile()
    assert g.runs == Counter(volatile=4, on_volatile=2)
    assert g.validation_state == {"volatile": PERM, "on_volatile": PERM}
    assert g.cached_values == {}


def test_permanent_invalidity_spreads_when_dependent_is_computed():
    g = Graph()
    y = g.y()
    assert g.validation_state == {"b": "valid", "x": "valid", "y": "valid"}
    g.use_volatile = True
    g.clear_cached_value("b")
    assert g.validation_state == {"b": "invalid", "x": "invalid", "y": "invalid"}
    g.x()
    assert g.validation_state == {"b": "valid", "x": PERM, "y": "invalid", "volatile": PERM}
    assert g.cached_values["y"] is y  # stale value kept
    g.y()
    assert g.validation_state["y"] == PERM
    assert g.runs["y"] == 2


def test_invalid_dependency_invalidates_valid_dependents_on_compute():
    g = Graph()
    g.b()
    g.above_lazy()
    assert g.validation_state == {"b": "valid", "lazy": "valid", "above_lazy": "valid"}
    g.clear_cached_value("b")
    g.update_cached_value("above_lazy", "manual")
    assert g.validation_state["above_lazy"] == "valid"
    g.lazy()  # b stays invalid: lazy is left invalid and so is its dependent
    assert g.validation_state == {"b": "invalid", "lazy": "invalid", "above_lazy": "invalid"}
    assert g.runs["lazy"] == 2


@pytest.mark.parametrize("factory, tracks", [
    (kestrined(), False), (kestrined(track_runtime_dependencies=True), True),
    (automagically_kestrined(dependencies=[]), True),
    (automagically_kestrined(dependencies=[], track_runtime_dependencies=False), False),
], ids=["plain", "plain-tracking", "auto", "auto-quiet"])
def test_runtime_tracking_follows_the_caller_flag(factory, tracks):
    class C(KestrineBase):
        @kestrined()
        def leaf(self, n):
            return n

        @kestrined()
        def middle(self):
            return self.leaf(2)

        def outer(self):
            return self.leaf(1) + self.middle()

        outer = factory(outer)

    c = C()
    c.leaf(1)  # a cache hit inside outer is recorded all the same
    c.outer()
    leaf1, leaf2 = ("leaf", (("n", 1),)), ("leaf", (("n", 2),))
    expected = {"outer": set(), "middle": set(), leaf1: set(), leaf2: set()}
    if tracks:
        expected[leaf1] = {"outer"}
        expected["middle"] = {"outer"}
    assert c.dependency_graph == expected


class Inputs(Counting):
    """`total` depends on `base`, which reads `source`; the body of `total` can change the
    input while it computes."""

    def __init__(self):
        super().__init__()
        self.source = 1
        self.during = None

    @kestrined()
    def base(self):
        return self.ran("base", self.source)

    @kestrined(dependencies=["base"])
    def total(self):
        value = self.base() * 10
        during, self.during = self.during, None
        if during:
            during(self)
        return self.ran("total", value)


def reread(clear):
    def change(o):
        o.source = 5
        clear(o)
        o.base()  # valid again, now with the new input

    return change


@pytest.mark.parametrize("change", [
    lambda o: o.update_cached_value("base", 5),
    reread(lambda o: o.clear_cached_value("base")),
    reread(lambda o: o.clear_cache()),
], ids=["update", "clear value", "clear cache"])
def test_value_computed_from_a_dependency_changed_meanwhile_is_not_stored(change):
    o = Inputs()
    o.base()
    o.during = change
    assert o.total() == 10  # the caller gets what was computed
    assert o.validation_state == {"base": "valid", "total": "invalid"}
    assert "total" not in o.cached_values
    assert o.total() == 50 and o.runs["total"] == 2
    assert o.validation_state["total"] == "valid"


def test_update_of_the_computing_call_itself_stands():
    o = Inputs()
    o.total()
    o.clear_cached_value("base")  # total turns invalid; its stale value stays
    o.during = lambda o: o.update_cached_value("total", "set meanwhile")
    assert o.total() == 10
    assert o.get_cached_value("total") == "set meanwhile"
