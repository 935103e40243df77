"""Random sequences of calls, queries, mutations, dumps and loads on real instances, each
compared step by step with the reference model in model.py."""

import gc
import os
from collections import Counter

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from kestrine import KestrineBase, automagically_kestrined, kestrined
from model import NO_KEY, InstanceModel, Method

SOAK_EXAMPLES = int(os.environ.get("KESTRINE_SOAK_EXAMPLES", "0"))


class Web(KestrineBase):
    """Bodies return fresh lists [name, sequence number, *nested results]: traceable by identity."""

    def __init__(self, collect_every=0):
        self.log = []  # every object a body returned, in creation order
        self.runs = Counter()
        self.collect_every = collect_every

    def _made(self, name, *nested):
        if self.collect_every and len(self.log) % self.collect_every == 0:
            gc.collect()  # the collector walks the caches while bodies run
        self.runs[name] += 1
        made = [name, len(self.log), *nested]
        self.log.append(made)
        return made

    def helper(self):  # not decorated: a discovered dependency that never gets a state
        return None

    @kestrined(serialisable=True)
    def leaf(self):
        return self._made("leaf")

    @kestrined(serialisable=True, maxsize=0)
    def leaf2(self):  # stores nothing; what depends on it keeps its key
        return self._made("leaf2")

    @kestrined(dependencies=["leaf"], serialisable=True)
    def declared(self):  # declares leaf without calling it
        return self._made("declared")

    @kestrined(dependencies=["leaf2"])
    def calls_declared(self):
        return self._made("calls_declared", self.leaf2())

    @automagically_kestrined()
    def auto(self):  # discovers leaf and declared, tracks
        return self._made("auto", self.leaf(), self.declared())

    @automagically_kestrined(track_runtime_dependencies=False)
    def auto_quiet(self):  # discovers leaf2 only: a call with an argument is not matched
        return self._made("auto_quiet", self.param(1), self.leaf2())

    @automagically_kestrined()
    def auto_helper(self):  # discovers helper
        self.helper()
        return self._made("auto_helper")

    @kestrined(maxsize=2)
    def param(self, x, y=2):
        if x == 3:
            self.runs["param"] += 1
            raise ValueError("x is 3")
        return self._made("param")

    @kestrined(track_runtime_dependencies=True, maxsize=1)
    def tracker(self, n):
        nested = [self.leaf(), self.param(n)]
        if n == 0:
            nested.append(self.volatile())
        if n == 1:
            nested.append(self.calls_declared())
        if n == 2:
            nested.append(self.tracker(0))
        return self._made("tracker", *nested)

    @kestrined(use_cache=False, serialisable=True)
    def volatile(self):
        return self._made("volatile")

    @kestrined(track_runtime_dependencies=True)
    def uses_volatile(self):
        return self._made("uses_volatile", self.volatile(), self.leaf())

    @kestrined(dependencies=["cyc_b"], serialisable=True)
    def cyc_a(self):
        return self._made("cyc_a")

    @kestrined(dependencies=["cyc_a"])
    def cyc_b(self):
        return self._made("cyc_b")

    @kestrined(dependencies=["ghost"])
    def orphan(self):  # ghost is never called
        return self._made("orphan")

    @kestrined(dependencies=[("param", {"x": 1, "y": 2})])
    def pdep(self):
        return self._made("pdep")


# The model's view of each method: options and dependencies as documented, and the nested
# decorated calls its body makes for given bound arguments.
METHODS = {
    m.name: m
    for m in [
        Method("leaf"),
        Method("leaf2", maxsize=0),
        Method("declared", [("leaf", {})]),
        Method("calls_declared", [("leaf2", {})]),
        Method("auto", [("leaf", {}), ("declared", {})], track=True),
        Method("auto_quiet", [("leaf2", {})]),
        Method("auto_helper", [("helper", {})], track=True),
        Method("param", maxsize=2),
        Method("tracker", track=True, maxsize=1),
        Method("volatile", use_cache=False),
        Method("uses_volatile", track=True),
        Method("cyc_a", [("cyc_b", {})]),
        Method("cyc_b", [("cyc_a", {})]),
        Method("orphan", [("ghost", {})]),
        Method("pdep", [("param", {"x": 1, "y": 2})]),
    ]
}


def nested_calls(name, args):
    if name == "calls_declared":
        return [("leaf2", {})]
    if name == "auto":
        return [("leaf", {}), ("declared", {})]
    if name == "auto_quiet":
        return [("param", {"x": 1, "y": 2}), ("leaf2", {})]
    if name == "uses_volatile":
        return [("volatile", {}), ("leaf", {})]
    if name == "tracker":
        n = args["n"]
        extra = {0: [("volatile", {})], 1: [("calls_declared", {})], 2: [("tracker", {"n": 0})]}
        return [("leaf", {}), ("param", {"x": n, "y": 2})] + extra.get(n, [])
    return []


def body_raises(name, args):
    return name == "param" and args["x"] == 3


class Collecting:
    """Equal to and hashed like its number. Every few hashes and comparisons run a full
    collection, inside whichever key lookup is under way."""

    calls = 0

    def __init__(self, n):
        self.n = n

    def _collect(self):
        Collecting.calls += 1
        if Collecting.calls % 64 == 0:
            gc.collect()

    def __hash__(self):
        self._collect()
        return hash(self.n)

    def __eq__(self, other):
        self._collect()
        return other == self.n

    def __repr__(self):
        return f"Collecting({self.n})"


PLAIN = sorted(name for name in METHODS if name not in ("param", "tracker"))
SERIALISABLE = ["leaf", "leaf2", "declared", "volatile", "cyc_a"]
XS = st.sampled_from([0, 1, 1.0, True, 2, 3, Collecting(2)])  # 1, 1.0 and True make one key

# (method name, keywords) as a query method receives them; some are never found.
QUERIES = st.one_of(
    st.sampled_from(PLAIN + ["ghost", "helper", "nothing"]).map(lambda n: (n, {})),
    st.tuples(XS, st.sampled_from([2, 5])).map(lambda t: ("param", {"x": t[0], "y": t[1]})),
    XS.map(lambda x: ("param", {"x": x})),  # defaults are not added: never found
    st.just(("param", {"x": 1, "y": 2, "self": 0})),  # "self" is dropped
    st.integers(0, 4).map(lambda n: ("tracker", {"n": n})),
)


def outcome(fn, *args, **kwargs):
    try:
        return "value", fn(*args, **kwargs)
    except AssertionError:  # a model check failed
        raise
    except Exception as exc:  # compared with the other side's outcome
        return "raised", (type(exc), exc.args)


class WebMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.real = [Web(collect_every=64), Web(collect_every=64)]
        self.models = [InstanceModel(), InstanceModel()]
        self.replayed = [0, 0]  # how many entries of each instance's log the model used
        self.model_runs = [Counter(), Counter()]
        self.fresh = 0

    def fresh_value(self, tag):
        self.fresh += 1
        return [tag, self.fresh]

    def model_call(self, i, name, args):
        def body():
            nested = [self.model_call(i, n, a) for n, a in nested_calls(name, args)]
            self.model_runs[i][name] += 1
            if body_raises(name, args):
                raise ValueError("x is 3")
            log = self.real[i].log
            assert self.replayed[i] < len(log), f"model computes {name}{args}, instance did not"
            made = log[self.replayed[i]]
            self.replayed[i] += 1
            assert made[0] == name, f"model computes {name}{args}, instance computed {made[0]}"
            assert len(made) == 2 + len(nested) and all(
                a is b for a, b in zip(made[2:], nested)
            ), f"nested results of {name}{args} differ: {made[2:]} vs {nested}"
            return made

        return self.models[i].call(METHODS[name], args, body)

    def check_same(self, real, model):
        assert real[0] == model[0], f"instance: {real}, model: {model}"
        if real[0] == "raised":
            assert real[1] == model[1]
        else:
            assert real[1] is model[1], f"instance returned {real[1]!r}, model {model[1]!r}"

    def compare_call(self, i, name, call_real, args):
        self.check_same(outcome(call_real), outcome(self.model_call, i, name, args))

    instance = st.integers(0, 1)

    @rule(i=instance, name=st.sampled_from(PLAIN))
    def call_plain(self, i, name):
        self.compare_call(i, name, getattr(self.real[i], name), {})

    @rule(i=instance, x=XS, y=st.sampled_from([2, 5]),
          style=st.sampled_from(["pos", "kw", "default"]))
    def call_param(self, i, x, y, style):
        p = self.real[i].param
        if style == "default":
            y = 2
        call = {"pos": lambda: p(x, y), "kw": lambda: p(y=y, x=x), "default": lambda: p(x)}[style]
        self.compare_call(i, "param", call, {"x": x, "y": y})

    @rule(i=instance, n=st.integers(0, 4))
    def call_tracker(self, i, n):
        self.compare_call(i, "tracker", lambda: self.real[i].tracker(n), {"n": n})

    @rule(i=instance, query=QUERIES, method=st.sampled_from(
        ["get_cached_value", "is_cached", "update_cached_value", "clear_cached_value"]),
        strict=st.sampled_from([None, True, False]))
    def query(self, i, query, method, strict):
        name, kw = query
        args = (name, self.fresh_value("update")) if method == "update_cached_value" else (name,)
        if method == "get_cached_value" and strict is not None:
            kw = {"strict": strict, **kw}
        real = outcome(getattr(self.real[i], method), *args, **kw)
        self.check_same(real, outcome(getattr(self.models[i], method), *args, **kw))

    @rule(i=instance)
    def clear_cache(self, i):
        self.check_same(outcome(self.real[i].clear_cache), outcome(self.models[i].clear_cache))

    @rule(i=instance)
    def reset_cache(self, i):
        self.check_same(outcome(self.real[i].reset_cache), outcome(self.models[i].reset_cache))

    @rule(i=instance, name=st.sampled_from(["param", "tracker", "leaf", "leaf2", "declared"]),
          maxsize=st.sampled_from([None, 0, 1, 2]))
    def set_maxsize(self, i, name, maxsize):
        self.real[i].set_maxsize(name, maxsize)
        self.models[i].set_maxsize(METHODS[name], maxsize)

    @rule(i=instance, name=st.sampled_from(sorted(METHODS) + ["helper", "nothing"]))
    def cache_info(self, i, name):
        real = outcome(lambda: tuple(self.real[i].cache_info(name)))
        model = outcome(lambda: self.models[i].cache_info(METHODS[name]) if name in METHODS
                        else (_ for _ in ()).throw(KeyError(NO_KEY)))
        assert real == model, (real, model)

    @rule(name=st.sampled_from(sorted(METHODS)))
    def class_cache_clear(self, name):
        getattr(Web, name).cache_clear()  # both instances are Webs
        for model in self.models:
            model.forget_method(name)

    @rule(i=instance, data=st.data())
    def load_cache(self, i, data):
        names = data.draw(st.lists(st.sampled_from(SERIALISABLE), unique=True))
        order = data.draw(st.permutations(names + ["missing"]))
        order += order[:1]  # a repeated name counts once
        loaded = {name: self.fresh_value("loaded") for name in names}
        if len(names) <= 1 and data.draw(st.booleans()):
            order = None  # nothing to permute: the visiting order is still known
        real = outcome(self.real[i].load_cache, loaded, order=order)

        def model_load():
            for name in dict.fromkeys(order or loaded):
                if name in loaded:
                    self.model_call(i, name, {})
                    self.models[i].store_loaded(METHODS[name], loaded[name])

        self.check_same(real, outcome(model_load))

    @rule(i=instance, data=st.data())
    def dump_cache(self, i, data):
        order = data.draw(st.permutations(SERIALISABLE + ["ghost", "helper"]))
        real = outcome(self.real[i].dump_cache, order=order)
        model = outcome(lambda: {n: self.model_call(i, n, {}) for n in order if n in SERIALISABLE})
        assert real[0] == model[0] == "value", (real, model)
        assert list(real[1]) == list(model[1])
        assert all(real[1][n] is model[1][n] for n in model[1])

    @invariant()
    def instances_match_models(self):
        sides = zip(self.real, self.models, self.replayed, self.model_runs)
        for real, model, replayed, runs in sides:
            assert replayed == len(real.log), "instance computed more than the model predicts"
            assert real.runs == runs
            assert real.validation_state == model.validation_state()
            assert real.dependency_graph == model.dependency_graph()
            shown, expected = real.cached_values, model.cached_values()
            assert shown.keys() == expected.keys()
            for key, value in expected.items():
                assert shown[key] is value, f"cached value of {key}: {shown[key]!r} vs {value!r}"


WebMachine.TestCase.settings = settings(
    max_examples=SOAK_EXAMPLES or 200,
    stateful_step_count=30,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)
TestWeb = WebMachine.TestCase
