"""Arbitrary objects at every entry point: only the documented exceptions, and the instance
keeps working afterwards."""

from conftest import numpy
from hypothesis import given, settings
from hypothesis import strategies as st

import kestrine


class Sabotage(Exception):
    pass


class Hostile:
    """Hashing, comparing or truth-testing it raises, whichever the module tries."""

    def __hash__(self):
        raise Sabotage("hash")

    def __eq__(self, other):
        raise Sabotage("eq")

    def __bool__(self):
        raise Sabotage("bool")


class StrSub(str):
    pass


class DictSub(dict):
    def keys(self):
        raise Sabotage("keys of a dict subclass are read from its storage")


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(allow_nan=True),
    st.text(),
    st.text().map(StrSub),
    st.sampled_from(["a", "b", "total", "__init__", "\ud800", "", "self"]),
    st.binary(max_size=4),
    *([st.just(numpy.bool_(True)), st.just(numpy.int8(1))] if numpy else []),
    st.builds(Hostile),
    st.just(object()),
)
anything = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3),
        st.tuples(inner, inner),
        st.tuples(inner),
        st.dictionaries(st.text(max_size=2), inner, max_size=2),
        st.dictionaries(st.text(max_size=2), inner, max_size=2).map(DictSub),
        st.frozensets(st.integers(), max_size=2),
    ),
    max_leaves=6,
)

DOCUMENTED = (TypeError, ValueError, KeyError, AttributeError, UnicodeError, Sabotage)


class Subject(kestrine.KestrineBase):
    @kestrine.kestrined(serialisable=True)
    def a(self):
        return "a"

    @kestrine.automagically_kestrined(serialisable=True)
    def b(self):
        return self.a() + "b"

    @kestrine.kestrined()
    def total(self, x=1):
        return x


def still_works(obj):
    obj.b()  # loaded values may stand in for b's own
    assert obj.total(x=2) == 2
    assert obj.get_cached_value("total", x=2) == 2
    states = obj.validation_state
    assert set(states.values()) <= {"valid", "invalid", "permanently invalid"}
    assert states[("total", (("x", 2),))] == "valid"


def attempt(action):
    try:
        action()
    except DOCUMENTED:
        pass


OPTION_NAMES = ["use_cache", "dependencies", "track_runtime_dependencies", "serialisable"]


@settings(max_examples=100, deadline=None)
@given(
    st.lists(anything, max_size=5),
    st.dictionaries(st.sampled_from(OPTION_NAMES + ["func", "x"]), anything, max_size=3),
)
def test_factories_take_arbitrary_options(args, kwargs):
    def method(self):
        return 1

    for factory in (kestrine.kestrined, kestrine.automagically_kestrined):
        attempt(lambda: factory(*args, **kwargs)(method))
        attempt(lambda: factory(dependencies=list(args))(method))
    attempt(lambda: Subject.__dict__["a"].__set_name__(*args, **kwargs))


@settings(max_examples=100, deadline=None)
@given(anything, anything, st.dictionaries(st.text(max_size=3), anything, max_size=3))
def test_queries_take_arbitrary_names_and_keywords(name, value, kwargs):
    obj = Subject()
    obj.b()
    obj.total()
    attempt(lambda: obj.get_cached_value(name, **kwargs))
    attempt(lambda: obj.get_cached_value("total", value, **kwargs))
    attempt(lambda: obj.is_cached(name, **kwargs))
    attempt(lambda: obj.update_cached_value(name, value, **kwargs))
    attempt(lambda: obj.clear_cached_value(name, **kwargs))
    attempt(lambda: obj.total(value))
    obj.clear_cache()
    still_works(obj)


@settings(max_examples=100, deadline=None)
@given(anything, anything)
def test_dump_and_load_take_arbitrary_arguments(data, order):
    obj = Subject()
    attempt(lambda: obj.dump_cache(order))
    attempt(lambda: obj.load_cache(data, order))
    attempt(lambda: obj.load_cache({"a": data, "b": order}, order))
    still_works(obj)
