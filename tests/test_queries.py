"""get_cached_value, is_cached, update_cached_value, clear_cached_value, clear_cache."""

import sys
from collections import Counter

import pytest

from conftest import Collider, Counting
from kestrine import KestrineBase, automagically_kestrined, kestrined

NO_KEY = "No cache key found for provided signature"


class Q(Counting):
    def make_g(self):
        return ["g"]

    @kestrined()
    def f(self, x, y=2):
        return self.ran("f", [x, y])

    @kestrined()
    def g(self):
        return self.ran("g", self.make_g())

    @kestrined()
    def h(self, x):
        return [x]

    @kestrined(dependencies=["b"])
    def a(self):
        return self.ran("a", self.b() + ["a"])

    @kestrined()
    def b(self):
        return self.ran("b", ["b"])

    @kestrined(dependencies=["a"])
    def c(self):
        return self.ran("c", self.a() + ["c"])

    @kestrined(use_cache=False)
    def volatile(self):
        return object()

    @automagically_kestrined(dependencies=[])
    def t(self):
        if self.use_volatile:
            self.volatile()
        self.is_cached("g")
        self.get_cached_value("g", strict=False)
        return self.ran("t", self.b())


def key_error(fn):
    with pytest.raises(KeyError) as e:
        fn()
    return e.value.args


@pytest.mark.parametrize("query", [
    lambda o, **kw: o.get_cached_value("g", **kw), lambda o, **kw: o.get_cached_value("g", False, **kw),
    lambda o, **kw: o.is_cached("g", **kw), lambda o, **kw: o.update_cached_value("g", 1, **kw),
    lambda o, **kw: o.clear_cached_value("g", **kw),
], ids=["get", "get-lenient", "is_cached", "update", "clear"])
def test_unknown_call_has_no_key(query):
    o = Q()
    assert key_error(lambda: query(o)) == (NO_KEY,)
    o.g()
    assert key_error(lambda: query(o, extra=1)) == (NO_KEY,)
    assert o.clear_cache() is None


def test_keys_come_from_keywords_only():
    o = Q()
    r = o.f(1)
    assert o.get_cached_value("f", x=1, y=2) is r
    assert o.get_cached_value(method_name="f", y=2, x=True, self=99) is r
    assert o.is_cached("f", x=1.0, y=2, self=object())
    assert key_error(lambda: o.get_cached_value("f", x=1)) == (NO_KEY,)
    assert key_error(lambda: o.is_cached("f", x=1, y=3)) == (NO_KEY,)
    assert o.validation_state == {("f", (("x", 1), ("y", 2))): "valid"}


def test_cleared_call_messages_and_recompute():
    o = Q()
    first = o.f(1)
    o.clear_cached_value("f", x=1, y=2)
    assert not o.is_cached("f", x=1, y=2)
    assert o.get_cached_value("f", strict=False, x=1, y=2) is None
    assert key_error(lambda: o.get_cached_value("f", x=1, y=2)) == ("Cannot get cached value for 'f'",)
    assert key_error(lambda: o.clear_cached_value("f", x=1, y=2)) == ("Cannot clear cached value for 'f'",)
    assert key_error(lambda: o.update_cached_value("f", 0, x=1, y=2)) == (
        "Cannot update cached value for 'f'",
    )
    again = o.f(1)
    assert again == first and again is not first and o.runs["f"] == 2
    assert o.get_cached_value("f", x=1, y=2) is again


def test_clear_invalidates_dependents_and_keeps_stale_values():
    o = Q()
    c = o.c()
    a = o.get_cached_value("a")
    o.clear_cached_value("b")
    assert o.validation_state == {"a": "invalid", "b": "invalid", "c": "invalid"}
    assert o.cached_values == {"a": a, "c": c}
    assert [o.is_cached(n) for n in "abc"] == [False] * 3
    assert o.c() == c and o.runs == Counter(a=2, b=2, c=2)


@pytest.mark.parametrize("new", [["fresh"], ["b"]])
def test_update_invalidates_dependents_and_revalidates_itself(new):
    o = Q()
    o.c()
    o.update_cached_value("b", new)
    assert o.get_cached_value("b") is new
    assert o.validation_state == {"a": "invalid", "b": "valid", "c": "invalid"}
    assert o.a() == new + ["a"]
    assert o.runs == Counter(a=2, b=1, c=1)


def test_update_revalidates_a_stale_value_without_recompute():
    o = Q()
    o.g()
    o.clear_cache()
    assert not o.is_cached("g")
    with pytest.raises(KeyError):
        o.update_cached_value("g", 0)  # clear_cache removed the value
    o.a()
    o.clear_cached_value("b")
    value = ["manual"]
    assert o.update_cached_value("a", value) is None
    assert o.is_cached("a") and o.a() is value
    assert o.runs["a"] == 1


def test_update_of_permanently_invalid_call_is_never_served():
    o = Q()
    o.g()
    old = o.t()
    assert o.dependency_graph == {"g": set(), "b": {"t"}, "t": set()}  # queries add no edge
    o.use_volatile = True
    o.clear_cached_value("b")
    assert o.t() == old
    assert o.validation_state["t"] == "permanently invalid"
    assert o.cached_values["t"] is old  # the recomputed value was not kept
    o.update_cached_value("t", "new")
    assert o.cached_values["t"] == "new"
    assert not o.is_cached("t")
    assert o.get_cached_value("t", strict=False) is None
    assert o.validation_state["t"] == "permanently invalid"


class Sentinel:
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


BORROWED, MUT_BORROWED = "Already borrowed", "Already mutably borrowed"


@pytest.mark.parametrize("release", [
    lambda o: o.clear_cached_value("g"), lambda o: o.update_cached_value("g", "replacement"),
    lambda o: o.clear_cache(),
], ids=["clear", "update", "clear_cache"])
@pytest.mark.parametrize("touch, message", [
    (lambda o: o.is_cached("b"), BORROWED), (lambda o: o.b(), BORROWED),
    (lambda o: o.validation_state, MUT_BORROWED),
], ids=["query", "call", "property"])
def test_del_of_released_value_cannot_touch_instance(monkeypatch, release, touch, message):
    o = Q()
    o.b()
    o.make_g = lambda: Sentinel(lambda: touch(o))
    o.g()
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    release(o)
    assert [type(e) for e in seen] == [RuntimeError]
    assert str(seen[0]) == message
    assert o.cached_values.get("g") in (None, "replacement")
    assert o.is_cached("g") == (o.cached_values.get("g") == "replacement")
    assert o.validation_state["b"] == ("invalid" if "b" not in o.cached_values else "valid")
    assert o.runs["b"] == 1


@pytest.mark.parametrize("touch, message", [
    (lambda o: o.validation_state, MUT_BORROWED), (lambda o: o.is_cached("g"), BORROWED),
    (lambda o: o.g(), BORROWED), (lambda o: o.reset_cache(), BORROWED),
], ids=["property", "query", "call", "reset"])
def test_reentry_from_eq_during_query(touch, message):
    o = Q()
    o.g()
    stored = Collider(lambda: touch(o))
    value = o.h(stored)
    with pytest.raises(RuntimeError) as e:
        o.get_cached_value("h", x=Collider())
    assert str(e.value) == message
    assert o.get_cached_value("h", x=stored) is value
    assert o.validation_state == {"g": "valid", ("h", (("x", stored),)): "valid"}


class HashHook:
    """Hashable by identity; the next hash runs `action` once."""

    action = None

    def __hash__(self):
        action, self.action = self.action, None
        if action:
            action()
        return id(self) >> 4


@pytest.mark.parametrize("touch, error", [
    (lambda o: o.validation_state, None), (lambda o: o.b(), None),
    (lambda o: o.h(0), BORROWED), (lambda o: o.is_cached("b"), BORROWED),
    (lambda o: o.reset_cache(), BORROWED),
], ids=["property", "hit", "miss", "query", "reset"])
def test_hash_during_property_read_may_only_read(touch, error):
    o = Q()
    o.b()
    arg = HashHook()
    o.h(arg)
    arg.action = lambda: touch(o)
    if error:
        with pytest.raises(RuntimeError, match=f"^{error}$"):
            o.cached_values
    else:
        assert len(o.cached_values) == 2
    assert o.validation_state == {"b": "valid", ("h", (("x", arg),)): "valid"}


def test_del_of_stale_value_replaced_by_a_computation_is_refused(monkeypatch):
    o = Q()
    o.a()
    o.update_cached_value("a", Sentinel(lambda: o.is_cached("b")))
    o.clear_cached_value("b")  # a turns invalid; its stale value stays until replaced
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    assert o.a() == ["b", "a"]
    assert [str(e) for e in seen] == [BORROWED]
    assert o.validation_state == {"a": "valid", "b": "valid"}
    assert o.get_cached_value("a") == ["b", "a"]


class Resets(Q):
    @kestrined()
    def inside(self):
        self.reset_cache()
        return self.ran("inside", self.b())


@pytest.mark.parametrize("prepare", [
    lambda o: None,
    lambda o: (o.c(), o.f(1), o.h(Collider()), o.clear_cached_value("b")),
], ids=["new instance", "after calls"])
def test_reset_cache_returns_a_new_instances_cache(prepare):
    o = Resets()
    prepare(o)
    assert o.reset_cache() is None
    assert o.cached_values == o.dependency_graph == o.validation_state == {}
    for query in (o.is_cached, o.clear_cached_value, lambda n: o.get_cached_value(n, strict=False)):
        assert key_error(lambda: query("c")) == (NO_KEY,)
    runs = o.runs.copy()
    assert o.c() == ["b", "a", "c"] and o.runs - runs == Counter("abc")
    assert o.dependency_graph == {"b": {"a"}, "a": {"c"}, "c": set()}


def test_reset_cache_inside_a_running_call_forgets_it_and_lets_del_use_the_instance():
    o = Resets()
    o.g()
    # The running call gets its value; the cache keeps only what was computed after the reset.
    assert o.inside() == ["b"] and o.inside() == ["b"]
    assert o.validation_state == {"b": "valid"} and o.runs["inside"] == 2
    seen = []
    o.make_g = lambda: Sentinel(lambda: seen.append((o.validation_state, o.b())))
    o.g()
    o.reset_cache()  # the value's __del__ runs after the reset, with the instance free
    assert seen == [({}, ["b"])]
    assert o.validation_state == {"b": "valid"}


def test_subclass_overrides_reset_cache():
    class Own(Q):
        def reset_cache(self):
            return "own"

    o = Own()
    o.g()
    assert o.reset_cache() == "own" and o.is_cached("g")
    assert KestrineBase.reset_cache(o) is None and o.validation_state == {}
