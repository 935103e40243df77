"""Memoised calls of decorated methods: keys, hits, errors and re-entrancy."""

import pytest

from conftest import Collider, raises_exactly
from kestrine import KestrineBase, automagically_kestrined, kestrined


class Shapes(KestrineBase):
    def __init__(self):
        self.runs = []

    @kestrined()
    def area(self, width, height=2):
        self.runs.append(("area", width, height))
        return [width * height]

    @kestrined()
    def ident(self, x):
        self.runs.append(("ident", x))
        return object()

    @kestrined()
    def kw(self, **extra):
        self.runs.append("kw")

    @kestrined()
    def inst(this, x):
        this.runs.append(("inst", x))
        return x


@pytest.mark.parametrize("calls", [
    [lambda s: s.area(3), lambda s: s.area(width=3), lambda s: s.area(3, 2)],
    [lambda s: s.area(height=2, width=3), lambda s: Shapes.area(s, 3, height=2)],
], ids=["positional-default", "keywords-class"])
def test_call_spellings_share_one_entry(calls):
    s = Shapes()
    results = [call(s) for call in calls]
    assert s.runs == [("area", 3, 2)]
    assert all(r is results[0] for r in results)
    key = ("area", (("height", 2), ("width", 3)))
    assert s.cached_values == {key: results[0]}
    assert s.area(4) == [8] and s.area(3) is results[0] and len(s.runs) == 2


@pytest.mark.parametrize("values", [(1, 1.0, True), (True, 1, 1.0), (1.0, True, 1)])
def test_numerically_equal_arguments_share_and_keep_first(values):
    s = Shapes()
    results = [s.ident(v) for v in values]
    assert all(r is results[0] for r in results) and len(s.runs) == 1
    (key,) = s.cached_values
    assert key == ("ident", (("x", values[0]),))
    assert type(key[1][0][1]) is type(values[0])
    s.ident("1")
    assert len(s.runs) == 2


class Chameleon:
    """One hash for all; equal only to itself, until `agreeable` makes it equal to any."""

    agreeable = False

    def __hash__(self):
        return 7

    def __eq__(self, other):
        return self is other or Chameleon.agreeable


def test_first_registered_of_several_equal_keys_wins_across_table_growth():
    s = Shapes()
    chameleons = []
    for i in range(3000):  # the key table grows (and drains its old table) many times
        if i % 30 == 0:
            chameleons.append(Chameleon())
            s.ident(chameleons[-1])
        s.ident(i)
    first = s.get_cached_value("ident", x=chameleons[0])
    Chameleon.agreeable = True
    try:
        for probe in (Chameleon(), chameleons[-1], chameleons[50]):
            assert s.get_cached_value("ident", x=probe) is first
            assert s.ident(probe) is first
    finally:
        Chameleon.agreeable = False
    assert len(s.runs) == 3000 + len(chameleons)


def test_instance_is_part_of_key_when_first_parameter_is_not_self():
    s = Shapes()
    assert s.inst(1) == 1 and s.inst(1) == 1 and s.runs == [("inst", 1)]
    assert list(s.cached_values) == [("inst", (("this", s), ("x", 1)))]

    class NoHash(Shapes):
        def __eq__(self, other):
            return self is other

    n = NoHash()
    with pytest.raises(TypeError):
        n.inst(1)
    assert n.runs == [] and n.validation_state == {}


@pytest.mark.parametrize("call", [
    lambda s: s.kw(), lambda s: s.kw(a=1), lambda s: s.ident([1, 2]), lambda s: s.ident(x={1}),
], ids=["var-kw-empty", "var-kw", "list", "set"])
def test_unhashable_key_raises_before_body(call):
    s = Shapes()
    with pytest.raises(TypeError, match="unhashable"):
        call(s)
    assert s.runs == [] and s.validation_state == {}


def test_class_level_calls():
    raises_exactly(ValueError, "kestrined can only be used as an instance method decorator",
                   Shapes.ident)
    for bad in (5, object(), Shapes):
        raises_exactly(TypeError, "The decorated method's class must inherit from KestrineBase",
                       Shapes.ident, bad)
    s = Shapes()
    assert Shapes.ident(s, 1) is s.ident(1) and s.runs == [("ident", 1)]


class Failing(KestrineBase):
    fail = True

    @automagically_kestrined(dependencies=[])
    def boom(self):
        if self.fail:
            raise LookupError("boom")
        return "ok"

    @kestrined()
    def leaf(self):
        return "leaf"

    @automagically_kestrined(dependencies=[])
    def outer(self):
        try:
            self.boom()
        except LookupError:
            pass
        return self.leaf()


def test_exception_propagates_and_leaves_no_frame():
    f = Failing()
    with pytest.raises(LookupError, match="boom"):
        f.boom()
    assert f.validation_state == {"boom": "invalid"} and f.cached_values == {}
    f.outer()  # a stale tracking frame of boom would claim outer or leaf
    assert f.dependency_graph == {"outer": set(), "boom": {"outer"}, "leaf": {"outer"}}
    assert f.validation_state == {"outer": "invalid", "boom": "invalid", "leaf": "valid"}
    f.fail = False
    assert f.boom() == "ok" and f.validation_state["boom"] == "valid"


@pytest.mark.parametrize("value", [None, 0, "", [], {}, {1, 2}])
def test_falsy_and_unhashable_results_are_stored(value):
    class C(KestrineBase):
        runs = 0

        @kestrined()
        def f(self):
            type(self).runs += 1
            return value

    c = C()
    assert c.f() is value and c.f() is value
    assert C.runs == 1 and c.is_cached("f") and c.cached_values["f"] is value
    assert c.get_cached_value("f") is value


@pytest.mark.parametrize("reenter, message", [
    (lambda o: o.is_cached("ident", x=1), "Already borrowed"),
    (lambda o: o.area(1), "Already borrowed"),
    (lambda o: o.cached_values, None),
], ids=["query", "call", "property"])
def test_reentry_during_key_lookup(reenter, message):
    # The lookup runs under shared access: reading is allowed, anything that writes is
    # refused and leaves the cache as it was.
    s = Shapes()
    seen = []
    # Only the first comparison reenters: later ones (dict building) must not recurse.
    first = Collider(lambda: seen or seen.append(reenter(s)))
    r = s.ident(first)
    second = Collider()
    if message is None:
        assert s.ident(second) is not r and seen == [{("ident", (("x", first),)): r}]
        assert s.validation_state == {("ident", (("x", k),)): "valid" for k in (first, second)}
        return
    raises_exactly(RuntimeError, message, s.ident, second)
    assert len(s.runs) == 1 and s.ident(first) is r
    assert s.validation_state == {("ident", (("x", first),)): "valid"}


def test_body_may_use_the_same_instance():
    class C(KestrineBase):
        @kestrined()
        def leaf(self):
            return ["leaf"]

        @kestrined()
        def top(self):
            v = self.leaf()
            return (v, self.is_cached("leaf"), self.get_cached_value("leaf"), self.validation_state)

    c = C()
    v, cached, got, states = c.top()
    assert cached and got is v
    assert states == {"leaf": "valid", "top": "invalid"}
    assert c.validation_state == {"leaf": "valid", "top": "valid"}


@pytest.mark.parametrize("factory", [kestrined(), automagically_kestrined()])
def test_recursion(factory):
    class Fib(KestrineBase):
        runs = 0

        def fib(self, n):
            type(self).runs += 1
            return n if n < 2 else self.fib(n - 1) + self.fib(n - 2)

        fib = factory(fib)

    a, b = 0, 1
    for _ in range(60):
        a, b = b, a + b
    f = Fib()
    assert f.fib(60) == a and Fib.runs == 61
    assert set(f.validation_state.values()) == {"valid"}
