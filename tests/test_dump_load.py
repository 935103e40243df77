"""dump_cache and load_cache."""

import pickle

import pytest

from conftest import make_class, named, raises_exactly
from kestrine import KestrineBase, kestrined


class Ser(KestrineBase):
    def __init__(self):
        self.runs = []

    @kestrined(serialisable=True)
    def a(self):
        self.runs.append("a")
        return ["a"]

    @kestrined(serialisable=True)
    def b(self):
        self.runs.append("b")
        return {"b": 2}

    @kestrined(serialisable=True)
    def c(self):
        self.runs.append("c")
        return ("c", [3])

    @kestrined(dependencies=["a"])
    def on_a(self):
        self.runs.append("on_a")
        return self.a() + ["on_a"]

    @kestrined()
    def plain(self):
        return 0

    def undecorated(self):
        return 0

    @kestrined(serialisable=True)
    def __x__(self):
        self.runs.append("__x__")
        return "x"


def test_class_without_serialisable_methods_dumps_empty():
    c = make_class(f=kestrined()(named("f", lambda self: 1)))()
    c.f()
    assert c.dump_cache() == {}
    assert c.dump_cache(["f"]) == {}


def test_dump_computes_missing_values_once():
    o = Ser()
    pre = o.b()
    d = o.dump_cache()
    assert sorted(o.runs) == ["a", "b", "c"]
    assert d == {"a": ["a"], "b": {"b": 2}, "c": ("c", [3])}
    assert d["b"] is pre and d["a"] is o.a()
    again = o.dump_cache()
    assert all(again[k] is d[k] for k in d)
    assert sorted(o.runs) == ["a", "b", "c"]


@pytest.mark.parametrize("order, first", [
    (["b"], ["b"]), (("b", "b", "nope"), ["b"]),
    (["b", "plain", "undecorated", "__x__", "on_a"], ["b"]),
    (["c", "a", "b"], ["c", "a", "b"]), (["a", "c", "a"], ["a", "c"]),
], ids=["one", "repeat-unknown", "not-serialisable", "all", "partial"])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_dump_order(order, first, by_keyword):
    o = Ser()
    d = o.dump_cache(order=order) if by_keyword else o.dump_cache(order)
    assert set(d) == {"a", "b", "c"}
    assert list(d)[: len(first)] == first
    assert o.runs[: len(first)] == first


def test_unordered_dump_order_varies():
    o = Ser()
    seen = set()
    for _ in range(200):
        d = o.dump_cache()
        assert sorted(d) == ["a", "b", "c"]
        seen.add(tuple(d))
        if len(seen) > 1:
            break
    assert len(seen) > 1


def test_subclass_redefinition_excludes_name():
    class Sub(Ser):
        def b(self):
            return "plain"

        @kestrined()
        def c(self):
            return "not serialisable"

    s = Sub()
    assert s.dump_cache(["b", "c"]) == {"a": ["a"]}


def test_load_stores_value_for_next_call_in_the_given_order():
    o = Ser()
    value = object()
    assert o.load_cache({"a": value}) is None
    assert o.runs == ["a"]
    assert o.a() is value and o.get_cached_value("a") is value
    o.load_cache(data={"b": 2, "a": 1, "c": 3}, order=["c", "missing", "c", "a"])
    assert o.runs == ["a", "c", "b"]
    assert (o.a(), o.b(), o.c()) == (1, 2, 3)


@pytest.mark.parametrize("name, exc, message", [
    ("undecorated", ValueError, "Method 'undecorated' is not decorated with @kestrined"),
    ("plain", ValueError, "Method 'plain' is not marked as serialisable"),
    ("nothing_here", AttributeError, None),
])
def test_load_rejects_bad_names(name, exc, message):
    o = Ser()
    with pytest.raises(exc) as e:
        o.load_cache({name: 1, "a": 2}, order=[name])
    if message is not None:
        assert str(e.value) == message
    assert o.cached_values == {} and o.runs == []


def test_load_with_non_str_key_applies_nothing():
    o = Ser()
    raises_exactly(TypeError, "'int' object is not an instance of 'str'",
                   o.load_cache, {"a": 1, 2: 3, "b": 4})
    assert o.runs == [] and o.cached_values == {} and o.validation_state == {}


NOT_SEQ = "object is not an instance of 'Sequence'"


@pytest.mark.parametrize("call, message, param", [
    *[(lambda o, d=d: o.load_cache(d, order="also bad"), f"{t} is not an instance of 'dict'", "data")
      for d, t in [("ab", "'str' object"), (None, "'None'"), ([("a", 1)], "'list' object")]],
    *[(lambda o, order=order, dump=dump: o.dump_cache(order) if dump else o.load_cache({"a": 1}, order),
       message, "order")
      for order, message in [("a", "Can't extract `str` to `Vec`"), (5, f"'int' {NOT_SEQ}"),
                             ({"a"}, f"'set' {NOT_SEQ}"), (["a", 1], "'int' object is not an instance of 'str'")]
      for dump in (True, False)],
])
def test_argument_conversion(call, message, param):
    o = Ser()
    err = raises_exactly(TypeError, message, call, o)
    assert f"while processing '{param}'" in err.__notes__
    assert o.runs == [] and o.cached_values == {}


def test_load_does_not_invalidate_dependents():
    o = Ser()
    dependent = o.on_a()
    states, graph = o.validation_state, o.dependency_graph
    o.load_cache({"a": ["loaded"]})
    assert o.validation_state == states and o.dependency_graph == graph
    assert o.on_a() is dependent and o.a() == ["loaded"]
    assert o.runs == ["on_a", "a"]


def test_round_trip_through_pickle():
    source = Ser()
    blob = pickle.dumps(source.dump_cache())
    data = pickle.loads(blob)
    fresh = Ser()
    fresh.load_cache(data)
    assert sorted(fresh.runs) == ["a", "b", "c"]  # one call each, during the load
    for name, value in data.items():
        assert getattr(fresh, name)() is value
    assert sorted(fresh.runs) == ["a", "b", "c"]
    assert fresh.dump_cache() == data


class Stubborn(KestrineBase):
    @kestrined(serialisable=True, dependencies=["q"])
    def p(self):
        return "p"

    @kestrined(serialisable=True, dependencies=["p"])
    def q(self):
        return "q"

    @kestrined(serialisable=True, dependencies=["q2"])
    def p2(self):
        return self.q2()

    @kestrined(serialisable=True, dependencies=["p2"])
    def q2(self):
        return "q2"

    @kestrined(serialisable=True, use_cache=False)
    def u(self):
        return "u"


def test_load_never_marks_anything_valid():
    o = Stubborn()
    data = {name: object() for name in ["p", "q", "p2", "q2", "u"]}
    o.load_cache(data, ["p", "q", "p2"])  # p2 before q2: q2 finds p2 registered
    expected = {"p": "permanently invalid", "q": "permanently invalid",
                "p2": "invalid", "q2": "invalid", "u": "permanently invalid"}
    assert o.validation_state == expected
    graph = o.dependency_graph
    o.load_cache(data)
    assert o.validation_state == expected and o.dependency_graph == graph
    assert o.cached_values == data
    assert not any(o.is_cached(name) for name in data)
    assert all(getattr(o, name)() is not data[name] for name in data)
