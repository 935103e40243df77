"""Decorator factories: option parsing, dependency keys and building the descriptor."""

import collections
import functools
import inspect
import re

import pytest

from conftest import make_class, named, raises_exactly
from kestrine import KestrineBase, automagically_kestrined, kestrined

FACTORIES = [kestrined, automagically_kestrined]
DEP_ERROR = "Dependency must be a tuple (str, dict) or a str"


def graph_of(decorator, func=None):
    """dependency_graph after one call of `a` (built by `decorator`) on a fresh instance."""
    a = decorator if func is False else decorator(func or named("a", lambda self: 1))
    obj = make_class(a=a, b=kestrined()(named("b", lambda self: 2)))()
    obj.a()
    return obj.dependency_graph


class StrSub(str):
    pass


class ListSub(list):
    pass


class BadName:
    __name__ = 5

    def __call__(self, this):
        return 1


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("deps, exc, message", [
    (("a",), TypeError, "'tuple' object is not an instance of 'list'"),
    ("a", TypeError, "'str' object is not an instance of 'list'"),
    ([("a",)], ValueError, DEP_ERROR),
    ([("a", {}, 1)], ValueError, DEP_ERROR),
    ([1], ValueError, DEP_ERROR),
    ([["a", {}]], ValueError, DEP_ERROR),
    (["ok", ("fine", {}), None], ValueError, DEP_ERROR),
    ([(1, {})], TypeError, "'int' object is not an instance of 'str'"),
    ([("a", [])], TypeError, "'list' object is not an instance of 'dict'"),
])
def test_dependency_parsing_errors(factory, deps, exc, message):
    with pytest.raises(exc) as info:
        factory(dependencies=deps)
    assert str(info.value) == message
    if isinstance(deps, list):
        assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("deps, nodes", [
    (["b"], ["b"]),
    ([("b", {})], ["b"]),
    (ListSub([StrSub("b"), ("c", collections.OrderedDict(n=1))]), ["b", ("c", (("n", 1),))]),
    ([("b", {"self": 5, "n": 1})], [("b", (("n", 1),))]),
    ([("b", {"z": 1, "a": 2, "B": 3})], [("b", (("B", 3), ("a", 2), ("z", 1)))]),
    (["b", ("c", {"n": (1, 2)}), "b"], ["b", ("c", (("n", (1, 2)),))]),
])
def test_declared_dependency_keys(factory, deps, nodes):
    graph = graph_of(factory(dependencies=deps))
    assert graph == {"a": set(), **{node: {"a"} for node in nodes}}


def test_dependency_dict_is_kept_by_identity_until_application():
    kwargs = {}
    factory = kestrined(dependencies=[("b", kwargs)])
    kwargs["n"] = 1
    decorator = factory(named("a", lambda self: 1))
    kwargs["n"] = 2
    assert graph_of(decorator, False) == {"a": set(), ("b", (("n", 1),)): {"a"}}
    assert graph_of(factory) == {"a": set(), ("b", (("n", 2),)): {"a"}}


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("kwargs, message", [
    ({"n": []}, "unhashable type: 'list'"),
    ({"n": {}}, "unhashable type: 'dict'"),
    ({1: 2}, "'int' object is not an instance of 'str'"),
])
def test_bad_dependency_kwargs_fail_at_application(factory, kwargs, message):
    made = factory(dependencies=[("b", kwargs)])
    with pytest.raises(TypeError, match=re.escape(message)):
        made(lambda self: 1)


@pytest.mark.parametrize("factory", [kestrined(), automagically_kestrined()])
@pytest.mark.parametrize("func, exc, message", [
    (functools.partial(lambda self: 1), AttributeError, "__name__"),
    (BadName(), TypeError, re.escape("'int' object is not an instance of 'str'")),
])
def test_function_name_must_be_a_str(factory, func, exc, message):
    with pytest.raises(exc, match=message):
        factory(func)


@pytest.mark.parametrize("factory", [kestrined(), automagically_kestrined(dependencies=[])])
def test_one_factory_builds_independent_descriptors(factory):
    a, b = factory(named("a", lambda self: "A")), factory(named("b", lambda self: "B"))
    cls = make_class(a=a, b=b)
    assert cls.__dict__["a"] is not cls.__dict__["b"]
    obj = cls()
    assert (obj.a(), obj.b(), obj.a()) == ("A", "B", "A")
    assert obj.validation_state == {"a": "valid", "b": "valid"}


def a(self):
    return 1 if self else self.b()


@pytest.mark.parametrize("decorator, discovered", [
    (kestrined(), False), (kestrined(dependencies=None), False),
    (kestrined(dependencies=[]), False), (automagically_kestrined(dependencies=[]), False),
    (automagically_kestrined(), True), (automagically_kestrined(dependencies=None), True),
])
def test_dependencies_absent_empty_or_discovered(decorator, discovered):
    assert graph_of(decorator, a) == {"a": set(), **({"b": {"a"}} if discovered else {})}


def gen(self):
    yield 1


async def coro(self):
    return 1


async def agen(self):
    yield 1


def sourceless_generator():
    namespace = {}
    exec("def made(self):\n    yield 1", namespace)
    return namespace["made"]


@pytest.mark.parametrize("factory", [kestrined(), automagically_kestrined()])
@pytest.mark.parametrize("func, kind, spent", [
    (gen, "generator", "exhausted"),
    (coro, "coroutine", "awaited"),
    (agen, "asynchronous generator", "exhausted"),
    (sourceless_generator(), "generator", "exhausted"),  # refused before source is read
    (named("part", functools.partial(gen)), "generator", "exhausted"),
    (inspect.markcoroutinefunction(named("marked", lambda self: None)), "coroutine", "awaited"),
], ids=["generator", "coroutine", "async-generator", "sourceless", "partial", "marked"])
def test_generator_and_coroutine_functions_are_refused(factory, func, kind, spent):
    raises_exactly(TypeError, f"Cannot memoise {kind} function '{func.__name__}': its {kind} "
                   f"would be stored and reused once {spent}", factory, func)


def test_function_returning_a_generator_is_memoised_as_it_is():
    obj = make_class(rows=kestrined()(named("rows", lambda self: iter([1, 2]))))()
    rows = obj.rows()
    assert obj.rows() is rows and list(rows) == [1, 2] and list(obj.rows()) == []


def getter(field):
    def get(self):
        return getattr(self, "_" + field)

    return get


def inherited_collision():
    base = make_class(_x=10, x=kestrined()(getter("x")))
    return type("D", (base,), {"_y": 20, "y": automagically_kestrined(dependencies=[])(getter("y"))})


@pytest.mark.parametrize("build, first, second", [
    (lambda: make_class(_x=10, _y=20, x=kestrined()(getter("x")), y=kestrined()(getter("y"))),
     "x", "y"),
    (inherited_collision, "y", "x"),
], ids=["one-class", "inherited"])
def test_different_functions_sharing_a_name_are_refused(build, first, second):
    raises_exactly(TypeError, f"Decorated methods '{first}' and '{second}' wrap different "
                   "functions with the same __name__ 'get', so their calls would share cache "
                   "entries; give each function its own __name__", build)


def aliased():
    get = getter("x")
    return make_class(_x=10, x=kestrined()(get), y=automagically_kestrined(dependencies=[])(get))


def one_descriptor_twice():
    method = kestrined()(getter("x"))
    return make_class(_x=10, x=method, y=method)


def override_through_super():
    class Base(KestrineBase):
        @kestrined()
        def x(self):
            return 10

    class Derived(Base):
        @kestrined()
        def x(self):
            return super().x()

    return Derived


def shadowed_by_a_plain_attribute():
    base = make_class(_x=10, x=kestrined()(getter("x")))
    return type("D", (base,), {"x": lambda self: 10, "y": kestrined()(getter("x"))})


@pytest.mark.parametrize("build, key", [
    (aliased, "get"), (one_descriptor_twice, "get"), (override_through_super, "x"),
    (shadowed_by_a_plain_attribute, "get"),
])
def test_one_function_under_two_names_and_overrides_are_accepted(build, key):
    obj = build()()
    assert (obj.x(), obj.y() if hasattr(obj, "y") else 10) == (10, 10)
    assert obj.validation_state == {key: "valid"}, "they share one entry"
