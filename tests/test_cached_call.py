"""Memoised calls of decorated methods: keys, hits, errors and re-entrancy."""

import inspect
import threading

import pytest

from kestrine import KestrineBase, automagically_kestrined, kestrined


def area(self, width, height=2):
    self.runs.append(("area", width, height))
    return [width * height]


class Shapes(KestrineBase):
    def __init__(self):
        self.runs = []

    area = kestrined()(area)

    @kestrined()
    def ident(self, x):
        self.runs.append(("ident", x))
        return object()

    @kestrined()
    def star(self, *args):
        return len(args)

    @kestrined()
    def kw(self, **extra):
        self.runs.append("kw")

    @kestrined()
    def ordered(self, b, a, B, ab, _z, é):
        return 0

    @kestrined()
    def inst(this, x):
        this.runs.append(("inst", x))
        return x


@pytest.mark.parametrize(
    "calls",
    [
        [lambda s: s.area(3), lambda s: s.area(width=3), lambda s: s.area(3, 2)],
        [lambda s: s.area(height=2, width=3), lambda s: Shapes.area(s, 3, height=2)],
    ],
)
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


def test_key_items_sorted_by_name_bytes():
    s = Shapes()
    s.ordered(b=1, a=2, B=3, ab=4, _z=5, é=6)
    (key,) = s.cached_values
    assert key == ("ordered", (("B", 3), ("_z", 5), ("a", 2), ("ab", 4), ("b", 1), ("é", 6)))


def test_var_positional_is_one_item():
    s = Shapes()
    assert s.star() == 0 and s.star(1, 2) == 2
    assert set(s.cached_values) == {("star", (("args", ()),)), ("star", (("args", (1, 2)),))}


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
    assert n.runs == []


@pytest.mark.parametrize(
    "call",
    [lambda s: s.kw(), lambda s: s.kw(a=1), lambda s: s.ident([1, 2]), lambda s: s.ident(x={1})],
)
def test_unhashable_key_raises_before_body(call):
    s = Shapes()
    with pytest.raises(TypeError, match="unhashable"):
        call(s)
    assert s.runs == [] and s.validation_state == {}


def test_class_level_calls():
    with pytest.raises(ValueError) as e:
        Shapes.ident()
    assert str(e.value) == "kestrined can only be used as an instance method decorator"
    for bad in (5, object(), Shapes):
        with pytest.raises(TypeError) as e:
            Shapes.ident(bad)
        assert str(e.value) == "The decorated method's class must inherit from KestrineBase"
    s = Shapes()
    assert Shapes.ident(s, 1) is s.ident(1) and s.runs == [("ident", 1)]


@pytest.mark.parametrize(
    "args, kwargs", [((), {}), ((1, 2, 3), {}), ((1,), {"bogus": 2}), ((1,), {"width": 1})]
)
def test_binding_errors_come_from_inspect(args, kwargs):
    s = Shapes()
    with pytest.raises(TypeError) as expected:
        inspect.signature(area).bind(s, *args, **kwargs)
    with pytest.raises(TypeError) as got:
        s.area(*args, **kwargs)
    assert str(got.value) == str(expected.value)
    assert s.runs == [] and s.validation_state == {}


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
    f.outer()
    # a stale tracking frame of boom would have claimed outer or leaf
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


class Collider:
    def __init__(self, on_eq):
        self.on_eq = on_eq

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if other is not self:
            self.on_eq()
        return other is self


@pytest.mark.parametrize(
    "reenter, message",
    [
        (lambda o: o.is_cached("ident", x=1), "Already borrowed"),
        (lambda o: o.area(1), "Already borrowed"),
        (lambda o: o.cached_values, "Already mutably borrowed"),
    ],
)
def test_reentry_during_key_lookup_is_refused(reenter, message):
    s = Shapes()
    first = Collider(lambda: reenter(s))
    r = s.ident(first)
    with pytest.raises(RuntimeError) as e:
        s.ident(Collider(lambda: None))
    assert str(e.value) == message
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


def test_threads_on_separate_instances_do_not_interfere():
    class Work(KestrineBase):
        @kestrined()
        def square(self, n):
            return n * n

        @automagically_kestrined(dependencies=[])
        def total(self, n):
            return sum(self.square(i) for i in range(n))

    def run(out, barrier=None):
        w = Work()
        if barrier:
            barrier.wait()
        out.extend(w.total(i % 40) for i in range(300))
        out.append((w.validation_state, w.dependency_graph))

    expected, outs = [], [[], []]
    run(expected)
    barrier = threading.Barrier(2)
    threads = [threading.Thread(target=run, args=(out, barrier)) for out in outs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert outs == [expected, expected]


def test_replaced_defaults_are_used():
    def f(self, x=1):
        return x

    class C(KestrineBase):
        m = kestrined()(f)

    c = C()
    assert c.m() == 1
    f.__defaults__ = (5,)
    assert c.m() == 5
    assert set(c.cached_values) == {("f", (("x", 1),)), ("f", (("x", 5),))}
