"""maxsize and eviction, set_maxsize, cache_info, class-wide cache_clear/cache_info. (Tests
that start threads live in test_threads.py: on 3.13 the first thread started makes every
class made after it immortal, which test_ownership must not meet.)"""

import gc
import random
import weakref

import pytest

from conftest import Counting, raises_exactly
from kestrine import CacheInfo, KestrineBase, kestrined


class B(Counting):
    @kestrined(maxsize=3)
    def f(self, x):
        return self.ran("f", [x])

    @kestrined(dependencies=[("f", {"x": 1})])
    def g(self):
        return self.ran("g", self.f(1) + ["g"])

    @kestrined(maxsize=0, serialisable=True)
    def none(self):
        return self.ran("none", ["none"])

    @kestrined(dependencies=["none"])
    def over_none(self):
        return self.ran("over_none", self.none() + ["over"])

    @kestrined()
    def free(self, x):
        return [x]


def stored(o, name="f"):
    return sorted(key[1][0][1] for key in o.cached_values if key[0] == name)


@pytest.mark.parametrize("trace, kept", [
    ([1, 2, 3, 4, 5, 6], [4, 5, 6]),  # first in, first out without hits
    ([1, 2, 3, 1, 4], [1, 3, 4]),  # 1 was hit since the last sweep: 2 goes instead
    ([1, 2, 3, 1, 4, 5, 6], [4, 5, 6]),  # its mark is used up by the first sweep
    ([1, 2, 3, 1, 2, 3, 4], [2, 3, 4]),  # every value marked: the sweep clears all, evicts 1
])
def test_second_chance_eviction(trace, kept):
    o = B()
    for x in trace:
        assert o.f(x) == [x]
    assert stored(o) == kept
    info = o.cache_info("f")
    assert info.misses == o.runs["f"] and info.hits == len(trace) - o.runs["f"]
    assert (info.maxsize, info.currsize) == (3, 3) and isinstance(info, CacheInfo)


class Hashed:
    """Equal by number, hashed as told: keys of one hash share a probe run."""

    def __init__(self, n, h):
        self.n, self.h = n, h

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        return isinstance(other, Hashed) and other.n == self.n


@pytest.mark.parametrize("make_key", [
    lambda n: n * 7919,  # spread hashes
    lambda n: Hashed(n, 42),  # one hash for all
    lambda n: Hashed(n, n % 5),  # a few runs that meet
], ids=["spread", "one-hash", "few-hashes"])
def test_keys_that_come_and_go_stay_findable(make_key):
    class Churn(KestrineBase):
        @kestrined(maxsize=40)
        def f(self, x):
            return ("f", x)

    rng, o = random.Random(7), Churn()
    keys = [make_key(n) for n in range(300)]
    for step in range(3000):
        key = rng.choice(keys)
        assert o.f(key) == ("f", key)
        if step % 100 == 0:
            # Every stored key is found again: a hit, never a second registration.
            stored_keys = [k[1][0][1] for k in o.cached_values]
            info = o.cache_info("f")
            assert len(stored_keys) == info.currsize <= 40
            assert len({id(k) for k in stored_keys}) == len(stored_keys)
            for k in stored_keys:
                assert o.f(k) == ("f", k)
            after = o.cache_info("f")
            assert (after.hits, after.misses) == (info.hits + len(stored_keys), info.misses)


class Near:
    """Equal to its neighbours (so not transitively), all of one hash."""

    def __init__(self, n):
        self.n = n

    def __hash__(self):
        return 0

    def __eq__(self, other):
        return isinstance(other, Near) and abs(other.n - self.n) <= 1


# Also run on the test build, whose registry runs out of serials after a few registrations
# and numbers its keys again.
@pytest.mark.wait_hook
def test_of_two_stored_keys_equal_to_a_call_the_first_registered_answers():
    class Reuse(KestrineBase):
        @kestrined()
        def f(self, x):
            return "f", x.n

        @kestrined(maxsize=1)
        def g(self, i):
            return i

    o = Reuse()
    o.g(0)  # id 0
    assert o.f(Near(10)) == ("f", 10)  # id 1
    for i in range(1, 200):  # each evicts the one before: ids 0 and 2 take turns
        o.g(i)
    assert o.f(Near(12)) == ("f", 12)  # id 0 again, freed by the last eviction
    for i in range(200, 400):  # more registrations: the test build numbers both keys again
        o.g(i)
    assert o.f(Near(11)) == ("f", 10) and o.f(Near(13)) == ("f", 12)


def test_evicted_call_with_dependents_keeps_its_edges_until_they_go():
    o = B()
    g = o.g()
    for x in range(2, 6):
        o.f(x)  # f(1) is evicted; g, which rests on it, stays valid
    assert stored(o) == [3, 4, 5] and o.get_cached_value("g") is g
    assert o.validation_state[("f", (("x", 1),))] == "valid" and not o.is_cached("f", x=1)
    assert o.dependency_graph[("f", (("x", 1),))] == {"g"}
    # Clearing or updating the evicted call still reaches g.
    assert o.clear_cached_value("f", x=1) is None and not o.is_cached("g")
    o.g()
    o.update_cached_value("f", ["new"], x=1)  # stored again, within the bound
    assert o.g() == ["new", "g"] and len(stored(o)) == 3
    # Once nothing depends on it, an evicted call is forgotten with its key.
    o.set_maxsize("f", 0)
    assert o.validation_state[("f", (("x", 1),))] == "valid" and stored(o) == []
    B.g.cache_clear()
    assert o.validation_state == {}


@pytest.mark.parametrize("step", [
    lambda o: o.none(),
    lambda o: o.load_cache({"none": ["loaded"]}),
    lambda o: (o.set_maxsize("none", 1), o.none(), o.set_maxsize("none", 0)),
], ids=["call", "load", "shrunk"])
def test_a_bound_of_zero_stores_nothing_and_keeps_only_what_others_need(step):
    o = B()
    step(o)
    assert o.cached_values == {} and o.validation_state == {}
    over = o.over_none()
    assert o.cached_values == {"over_none": over} and o.validation_state["none"] == "valid"
    o.update_cached_value("none", ["changed"])  # nothing stored; the dependent still learns
    assert not o.is_cached("over_none") and not o.is_cached("none")
    assert o.over_none() == ["none", "over"] and o.cache_info("none").currsize == 0


def test_set_maxsize_is_per_instance_and_shrinks_at_once():
    o, other = B(), B()
    for x in range(3):
        o.f(x), other.f(x)
    o.f(0)  # marked: survives the shrink's sweep
    o.set_maxsize("f", 1)
    assert stored(o) == [0] and o.cache_info("f")[2:] == (1, 1) and len(stored(other)) == 3
    o.set_maxsize("f", None)
    for x in range(10):
        o.f(x)
    assert len(stored(o)) == 10 and o.cache_info("f").maxsize is None
    o.reset_cache()  # the instance's bound outlives a reset; the counts do not
    assert tuple(o.cache_info("f")) == (0, 0, None, 0)
    o.set_maxsize("free", 2)
    for x in range(5):
        o.free(x)
    assert len(o.cached_values) == 2


@pytest.mark.parametrize("value, error", [
    (True, (TypeError, "maxsize must be None or an int, not 'bool'")),
    (1.0, (TypeError, "maxsize must be None or an int, not 'float'")),
    ("3", (TypeError, "maxsize must be None or an int, not 'str'")),
    (-1, (ValueError, "maxsize must be None or >= 0, not -1")),
])
def test_maxsize_validation(value, error):
    raises_exactly(*error, kestrined, maxsize=value)
    exc = raises_exactly(*error, B().set_maxsize, "f", value)
    assert exc.__notes__ == ["while processing 'maxsize'"]
    assert kestrined(maxsize=2**70)  # beyond any count: unbounded in effect


@pytest.mark.parametrize("query", ["cache_info", "set_maxsize"])
@pytest.mark.parametrize("name, error", [
    ("ran", KeyError), ("missing", KeyError), (1, TypeError),
])
def test_counts_and_bounds_of_unknown_names_are_refused(query, name, error):
    args = (name,) if query == "cache_info" else (name, 1)
    with pytest.raises(error):
        getattr(B(), query)(*args)


def test_cache_info_counts_hits_and_misses_until_a_reset():
    o = B()
    assert tuple(o.cache_info("f")) == (0, 0, 3, 0)
    o.f(1), o.f(1), o.f(2), o.g(), o.f(1)
    assert tuple(o.cache_info("f")) == (3, 2, 3, 2)
    o.clear_cache()  # values go, counts stay
    assert tuple(o.cache_info("f")) == (3, 2, 3, 0)
    o.reset_cache()
    assert tuple(o.cache_info("f")) == (0, 0, 3, 0)
    # Many hits on one call, counted past any small per-call counter, and kept when the
    # call is evicted.
    for _ in range(1000):
        o.f(7)
    assert tuple(o.cache_info("f")) == (999, 1, 3, 1)
    for x in range(8, 13):  # the first sweep passes 7 over, the third evicts it
        o.f(x)
    assert 7 not in stored(o) and tuple(o.cache_info("f")) == (999, 6, 3, 3)


class NoWeakReferences(KestrineBase):
    __slots__ = ()

    @kestrined()
    def m(self):
        return ["m"]


def test_class_wide_cache_clear_and_info_reach_live_instances_of_subclasses():
    class Own(B):  # a descriptor of its own: B's instances are out of its reach
        @kestrined(maxsize=3)
        def f(self, x):
            return self.ran("f", [x])

    class Sub(Own):
        pass

    class Foreign(KestrineBase):
        @kestrined()
        def f(self, x):
            return [x]

    objs = [Own(), Sub(), Sub()]
    for o in objs:
        o.g(), o.f(2), o.f(2)
    # Calls of the same name made by other descriptors, before the first class-wide call.
    others = [B(), Foreign()]
    for o in others:
        o.f(2)
    assert tuple(Own.f.cache_info()) == (3, 6, 3, 6) and Sub.f is Own.f
    gone = Own()
    gone.f(5)
    del gone
    gc.collect()
    assert Own.f.cache_info().misses == 6  # a dead instance counts no more
    Own.f.cache_clear()
    for o in objs:  # f's calls are gone; g, which depended on one, is invalid
        assert stored(o) == [] and not o.is_cached("g")
        assert o.validation_state == {"g": "invalid", ("f", (("x", 1),)): "invalid"}
    assert tuple(Own.f.cache_info()) == (0, 0, 3, 0)
    assert [stored(o) for o in others] == [[2], [2]]
    assert objs[0].g() == [1, "g"] and objs[0].is_cached("g")
    late = Sub()  # made after the first class-wide call: joins when f first runs on it
    late.f(9), late.f(9)
    assert tuple(Own.f.cache_info()) == (1, 2, 3, 2)
    # Instances of a class without weak references are out of the class-wide reach.
    plain = NoWeakReferences()
    plain.m()
    NoWeakReferences.m.cache_clear()
    assert plain.is_cached("m") and tuple(NoWeakReferences.m.cache_info()) == (0, 0, None, 0)


def test_fresh_arguments_under_a_bound_leave_at_most_maxsize_alive():
    class Arg:
        pass

    o, refs = B(), []
    for _ in range(2000):
        arg = Arg()
        refs.append(weakref.ref(arg))
        o.f(arg)
        del arg
    assert sum(r() is not None for r in refs) == 3
    assert len(o.validation_state) == 3
