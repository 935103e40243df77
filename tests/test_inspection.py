"""The cached_values, dependency_graph and validation_state properties."""

import pytest

from kestrine import KestrineBase, kestrined

PROPS = ["cached_values", "dependency_graph", "validation_state"]


class Shown(KestrineBase):
    @kestrined()
    def g(self):
        return ["g"]

    @kestrined()
    def f(self, x):
        return [x]

    @kestrined(dependencies=["b"])
    def lazy(self):
        return "lazy"

    @kestrined()
    def b(self):
        return ["b"]

    @kestrined(dependencies=["b"])
    def a(self):
        return self.b() + ["a"]


def view(obj):
    return {name: getattr(obj, name) for name in PROPS}


def test_new_instance_is_empty():
    assert view(Shown()) == {name: {} for name in PROPS}


@pytest.mark.parametrize("call, shown", [
    (lambda o: o.g(), "g"), (lambda o: o.f(3), ("f", (("x", 3),))),
    (lambda o: o.f(x="s"), ("f", (("x", "s"),))),
], ids=["no-args", "positional", "keyword"])
def test_single_call_is_shown(call, shown):
    o = Shown()
    value = call(o)
    assert view(o) == {"cached_values": {shown: value}, "dependency_graph": {shown: set()},
                       "validation_state": {shown: "valid"}}
    ((key, stored),) = o.cached_values.items()
    assert type(key) is type(shown) and stored is value


def test_clear_cache_keeps_graph_and_state_keys():
    o = Shown()
    o.lazy(), o.a(), o.f(2)
    graph, states = o.dependency_graph, o.validation_state
    assert o.clear_cache() is None
    assert o.cached_values == {}
    assert o.dependency_graph == graph
    assert o.validation_state == {k: ("invalid" if v == "valid" else v) for k, v in states.items()}
    assert o.validation_state["lazy"] == "permanently invalid"
    o.a()
    assert o.cached_values == {"a": ["b", "a"], "b": ["b"]}


def test_returned_containers_are_fresh():
    o = Shown()
    g = o.g()
    o.a()
    values, graph, states = view(o).values()
    values.clear()
    graph["b"].add("intruder")
    del graph["a"]
    states["a"] = "invalid"
    assert o.cached_values == {"g": g, "a": ["b", "a"], "b": ["b"]}
    assert o.dependency_graph == {"g": set(), "a": set(), "b": {"a"}}
    assert o.validation_state["a"] == "valid"
    assert o.cached_values is not o.cached_values
    o.cached_values["g"].append("more")  # values are handed out, not copied
    assert o.g() is g and g == ["g", "more"]
