"""dump_cache and load_cache; copying and pickling instances."""

import copy
import functools
import itertools
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


# Copying and pickling. Each case is a pair of classes with one body, one on KestrineBase
# (with a memoised method) and one plain; module attributes, so that pickle finds them.

TICKS = itertools.count()


def _init(self, a):
    self.a, self.items = a, [a, {"a": a}]


def _setstate(self, state):
    _, self.a, self.items = state
    self.restored = True


def _new(cls, *args, **kwargs):
    # Its own __new__: pickle rebuilds through cls.__new__ when __getnewargs_ex__ gives
    # keywords (protocols 2 and 3), and KestrineBase.__new__ cannot be pickled by name.
    return cls.__mro__[1].__new__(cls)


def total(self):
    return self.a, next(TICKS)


BODIES = {
    "attributes": {"__init__": _init},
    "slots": {"__init__": _init, "__slots__": ("a", "items", "unset")},
    "getstate": {"__init__": _init, "__setstate__": _setstate,
                 "__getstate__": lambda self: ("v1", self.a, self.items)},
    "getnewargs": {"__init__": _init, "__getnewargs__": lambda self: (self.a,)},
    "getnewargs_ex": {"__init__": _init, "__new__": _new,
                      "__getnewargs_ex__": lambda self: ((self.a,), {"tag": 1})},
    "reduce": {"__init__": _init, "__reduce__": lambda self: (type(self), (self.a,))},
}
TWINS = {}
for _case, _body in BODIES.items():
    _memoised = type(f"K_{_case}", (KestrineBase,), {**_body, "total": kestrined()(total)})
    _plain = type(f"P_{_case}", (), dict(_body))
    globals().update({_memoised.__name__: _memoised, _plain.__name__: _plain})
    TWINS[_case] = _memoised, _plain


def _pickled(protocol, obj):
    return pickle.loads(pickle.dumps(obj, protocol))


# Each with the copier for the plain twin, which pickles at protocol 2 at least: at 0 and 1
# copyreg refuses a plain class with __slots__ and no __getstate__ of its own.
COPIERS = {"copy": (copy.copy, copy.copy), "deepcopy": (copy.deepcopy, copy.deepcopy)} | {
    f"pickle-{p}": (functools.partial(_pickled, p), functools.partial(_pickled, max(p, 2)))
    for p in range(pickle.HIGHEST_PROTOCOL + 1)
}


def _as_plain(value, memoised, plain):
    if value is memoised:
        return plain
    if type(value) is tuple:
        return tuple(_as_plain(v, memoised, plain) for v in value)
    return value


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("case", BODIES)
def test_instances_reduce_as_plain_objects(case, protocol):
    memoised, plain = TWINS[case]
    obj = memoised(2)
    obj.total()
    # Protocols 0 and 1 get the protocol-2 form too: copyreg's older form rebuilds the
    # instance through object.__new__, which refuses a native base.
    expected = plain(2).__reduce_ex__(max(protocol, 2))
    assert _as_plain(obj.__reduce_ex__(protocol), memoised, plain) == expected


@pytest.mark.parametrize("how", COPIERS)
@pytest.mark.parametrize("case", BODIES)
def test_copies_keep_the_state_and_start_with_an_empty_cache(case, how):
    memoised, plain = TWINS[case]
    original, plain_original = memoised(2), plain(2)
    cached = original.total()
    copier, plain_copier = COPIERS[how]
    duplicate, plain_duplicate = copier(original), plain_copier(plain_original)

    def shown(obj, source):
        return obj.a, obj.items, obj.items is source.items, getattr(obj, "restored", False)

    assert type(duplicate) is memoised
    assert shown(duplicate, original) == shown(plain_duplicate, plain_original)
    assert duplicate.cached_values == {} and duplicate.validation_state == {}
    assert duplicate.total() != cached  # computed afresh
    assert original.cached_values == {"total": cached} and original.total() is cached


@pytest.mark.parametrize("attrs, protocol", [
    ({"__getnewargs__": lambda self: [1]}, 2),
    ({"__getnewargs_ex__": lambda self: ((1,),)}, 2),
    ({"__getnewargs_ex__": lambda self: ([1], {})}, 2),
    ({"__getnewargs_ex__": lambda self: ((1,), [])}, 2),
    ({"__getstate__": lambda self: 1 / 0}, 2),
    ({}, "2"),
])
def test_reduction_errors_match_plain_objects(attrs, protocol):
    errors = []
    for base in (KestrineBase, object):
        with pytest.raises(Exception) as info:
            type("C", (base,), attrs)().__reduce_ex__(protocol)
        errors.append((type(info.value), str(info.value)))
    assert errors[0] == errors[1]
