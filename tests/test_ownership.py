"""What the cache holds it releases: values, key arguments, functions and dependency dicts."""

import ctypes
import gc
import os
import resource
import subprocess
import sys
import textwrap
import weakref

import pytest

import kestrine
from conftest import run_python


class Tracked:  # hashable; a weak reference watches its lifetime
    def __init__(self, tag=0):
        self.tag = tag

    def __hash__(self):
        return hash(self.tag)

    def __eq__(self, other):
        return isinstance(other, Tracked) and other.tag == self.tag


class Holder(kestrine.KestrineBase):
    @kestrine.kestrined()
    def make(self, arg):
        return Tracked(("value", arg.tag))

    @kestrine.kestrined()
    def fail(self, arg):
        raise LookupError(Tracked("in exception"))


def alive(ref):
    gc.collect()
    return ref() is not None


def test_instance_release_frees_values_and_key_arguments():
    obj = Holder()
    arg = Tracked(1)
    value = obj.make(arg)
    refs = [weakref.ref(arg), weakref.ref(value)]
    del arg, value
    assert all(alive(r) for r in refs), "the cache keeps both while the instance lives"
    del obj
    assert not any(alive(r) for r in refs)


@pytest.mark.parametrize("release", [
    lambda obj, arg: obj.update_cached_value("make", "other", arg=arg),
    lambda obj, arg: obj.clear_cached_value("make", arg=arg),
    lambda obj, arg: obj.clear_cache(),
], ids=["update", "clear", "clear_cache"])
def test_replaced_and_cleared_values_are_released_at_once(release):
    obj = Holder()
    arg = Tracked(2)
    ref = weakref.ref(obj.make(arg))
    release(obj, arg)
    assert ref() is None


def test_recomputed_value_releases_the_stale_one():
    class Chain(kestrine.KestrineBase):
        @kestrine.kestrined()
        def base(self):
            return 1

        @kestrine.kestrined(track_runtime_dependencies=True)
        def derived(self):
            return Tracked(self.base())

    obj = Chain()
    stale = weakref.ref(obj.derived())
    obj.clear_cached_value("base")
    assert stale() is not None, "an invalidated value stays stored until replaced"
    obj.derived()
    assert stale() is None


class EqualsRaise(Tracked):
    def __eq__(self, other):
        raise ArithmeticError("no comparison")

    __hash__ = Tracked.__hash__


@pytest.mark.parametrize("call, error", [
    (lambda obj, arg: obj.make(arg, arg), TypeError),
    (lambda obj, arg: obj.make([arg]), TypeError),
    (lambda obj, arg: obj.make(EqualsRaise(5)), ArithmeticError),
    (lambda obj, arg: obj.get_cached_value("make", arg=[arg]), TypeError),
    (lambda obj, arg: obj.is_cached("make", arg=arg), KeyError),
], ids=["binding", "unhashable", "raising-eq", "query-unhashable", "query-missing"])
def test_failed_calls_keep_nothing(call, error):
    obj = Holder()
    obj.make(Tracked(5))  # a registered key of the same hash as EqualsRaise(5)
    arg = Tracked(99)
    ref = weakref.ref(arg)
    registered = len(obj.validation_state)
    with pytest.raises(error):
        call(obj, arg)
    del arg
    assert ref() is None
    assert len(obj.validation_state) == registered


def test_raising_body_keeps_only_its_key():
    obj = Holder()
    arg = Tracked(7)
    with pytest.raises(LookupError) as info:
        obj.fail(arg)
    exc_value = weakref.ref(info.value.args[0])
    del info
    assert exc_value() is None, "the exception's payload is not retained"
    assert obj.cached_values == {}
    assert obj.validation_state  # the registered key keeps its argument == {("fail", (("arg", arg),)): "invalid"}


def test_repeated_failures_do_not_grow_memory():
    obj = Holder()
    obj.make(Tracked(5))
    # Reductions that fail after the new arguments, or also the constructor, were taken.
    bad_newargs = type("B", (Holder,), {"__getnewargs_ex__": lambda self: ((1,), [])})()
    bad_state = type("S", (Holder,), {"__getnewargs__": lambda self: (1,),
                                      "__getstate__": lambda self: 1 / 0})()
    calls = [
        lambda: obj.make(1, 2),
        lambda: obj.make([1]),
        lambda: obj.make(EqualsRaise(5)),
        lambda: obj.get_cached_value("missing", x=1),
        lambda: obj.update_cached_value(3, 1),
        lambda: bad_newargs.__reduce_ex__(2),
        lambda: bad_state.__reduce_ex__(2),
    ]

    def run(rounds):
        for _ in range(rounds):
            for call in calls:
                with pytest.raises(Exception):
                    call()

    run(2000)  # warm up the interpreter's own lazily built state and delayed frees
    gc.collect()
    blocks, objects = sys.getallocatedblocks(), len(gc.get_objects())
    run(3000)  # a leak of one object per failing call would add 21000
    gc.collect()
    assert len(gc.get_objects()) - objects < 100
    assert sys.getallocatedblocks() - blocks < 500


def test_decorators_and_factories_release_functions_and_dicts():
    def method(self):
        return 1

    kwargs = {"n": 1}
    factory = kestrine.kestrined(dependencies=[("b", kwargs)])
    decorator = factory(method)
    func_ref = weakref.ref(method)
    base = sys.getrefcount(kwargs)
    del method
    assert alive(func_ref), "the descriptor holds its function"
    del decorator
    assert not alive(func_ref)
    del factory
    assert sys.getrefcount(kwargs) == base - 1


class Context:  # hashed by identity; its path refers back to the instances that saw it
    def __init__(self):
        self.path = []


class Node(kestrine.KestrineBase):
    def __init__(self, parent=None):
        self.parent = parent

    @kestrine.kestrined()
    def lookup(self, name, ctx):
        ctx.path.append(self)
        return Tracked(name)

    @kestrine.kestrined()
    def me(self):
        return [self]

    @kestrine.kestrined()
    def plain(self, tag):
        return Tracked(tag)

    @kestrine.kestrined()
    def double(this, x):
        return 2 * x

    @kestrine.kestrined()
    def scope(self):  # a value that refers to an ancestor, which refers back through its cache
        return self.parent.scope() if self.parent else self


class Slotted(kestrine.KestrineBase):
    __slots__ = ("ctx", "__weakref__")

    @kestrine.kestrined()
    def lookup(self, name):
        return self.ctx


def cycle_through_value(obj):
    obj.me()


def cycle_through_key(obj):
    obj.lookup("x", Context())
    obj.clear_cache()  # values gone: only the key argument keeps the cycle


def cycle_through_shown_key(obj):
    obj.lookup("x", Context())
    assert obj.cached_values  # builds and keeps the shown key tuple


def cycle_through_receiver(obj):
    obj.double(2)  # `this` is part of the key


def cycle_through_ancestor(obj):
    child = Node(obj)
    obj.child = child
    child.scope()


def cycle_through_slot():
    obj = Slotted()
    obj.ctx = Context()
    obj.ctx.path.append(obj.lookup("x"))  # value -> ctx -> value, and the slot -> ctx
    assert gc.get_referents(obj).count(obj.ctx) == 2  # the collector sees both
    return obj, None


@pytest.mark.parametrize("make_cycle", [
    cycle_through_value, cycle_through_key, cycle_through_shown_key, cycle_through_receiver,
    cycle_through_ancestor, cycle_through_slot,
], ids=["value", "key argument", "shown key", "receiver", "ancestor", "slotted subclass"])
def test_cycle_through_the_cache_is_collected(make_cycle):
    if make_cycle is cycle_through_slot:
        obj, held = make_cycle()
    else:
        obj = Node()
        make_cycle(obj)
        held = obj.plain("kept")  # not part of the cycle: released with the cache
    refs = [weakref.ref(obj), weakref.ref(held) if held else lambda: None]
    del obj, held
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_rounds_of_trees_dropped_after_use_stay_flat():
    """Each round builds a tree of nodes that call each other with one context, then drops
    it: nothing survives the round."""
    live = weakref.WeakSet()

    def one_round():
        ctx = Context()
        root = Node()
        nodes = [root] + [Node(root) for _ in range(200)]
        for node in nodes:
            live.add(node)
            node.scope()
            node.lookup("name", ctx)
            node.me()
        root.clear_cache()

    counts = []
    for _ in range(6):
        one_round()
        gc.collect()
        counts.append(len(live))
    assert counts == [0] * 6


def test_long_lived_instance_with_fresh_arguments_stays_flat_with_reset():
    node = Node()
    blocks = []
    for _ in range(6):
        contexts = [Context() for _ in range(2000)]
        for ctx in contexts:
            node.lookup("name", ctx)
        refs = [weakref.ref(c) for c in contexts[::100]]
        del contexts, ctx
        assert all(r() is not None for r in refs), "the keys hold their arguments"
        node.reset_cache()
        assert [r() for r in refs] == [None] * len(refs)  # released without a collection
        assert node.validation_state == {}
        gc.collect()
        blocks.append(sys.getallocatedblocks())
    assert max(blocks[1:]) - min(blocks[1:]) < 500, blocks


@pytest.mark.parametrize("rebind_in", ["hash", "eq", "thread"])
def test_default_rebound_while_the_key_is_built_stays_in_the_key(rebind_in):
    # The default's __hash__ (key building), a stored argument's __eq__ (registry lookup) or
    # another thread while the key is hashed rebinds __defaults__, dropping the last other
    # reference to the default in use. In a subprocess: a dangling default crashed the
    # interpreter.
    run_python(f"""
        import threading, weakref
        from kestrine import KestrineBase, kestrined

        def rebind():
            f.__defaults__ = (Default(),)

        class Default:
            def __hash__(self):
                if "{rebind_in}" == "hash":
                    rebind()
                elif "{rebind_in}" == "thread":
                    other = threading.Thread(target=rebind)
                    other.start()
                    other.join()
                return 1

        class Stored:  # registered first; compared with the default on the next call
            def __hash__(self):
                return 1

            def __eq__(self, other):
                rebind()
                return False

        def f(self, x=Default()):
            return 0

        class C(KestrineBase):
            m = kestrined()(f)

        calls = []
        for _ in range(5000 if "{rebind_in}" != "thread" else 500):
            c = C()
            if "{rebind_in}" == "eq":
                c.m(Stored())
            calls.append((c, weakref.ref(f.__defaults__[0])))
            c.m()
            reuse = [Default() for _ in range(3)]  # takes the memory of a freed default
        for c, used in calls:
            shown = c.cached_values  # hashes every key: a dangling default crashed here
            assert used() is not None, "the key holds the default it was built from"
            assert any(key[1][0][1] is used() for key in shown)
    """)


class Box:  # hashable by identity; refers back to its class once that exists
    cls = None


def made_with_super():
    class Base(kestrine.KestrineBase):
        def m(self):
            return 1

    class Made(Base):
        @kestrine.kestrined()
        def m(self):
            return super().m()  # the function's __class__ cell refers to Made

    return Made


def made_with_dependency_argument():
    box = Box()

    class Made(kestrine.KestrineBase):
        @kestrine.kestrined(dependencies=[("other", {"box": box})])
        def m(self):
            return 1

    box.cls = Made
    return Made


def made_with_default_referring_to_the_class(keyword_only):
    def make():
        class Made(kestrine.KestrineBase):  # the default closes over Made: a cycle through it
            if keyword_only:
                def m(self, *, scale=lambda: Made.unit):
                    return scale()
            else:
                def m(self, scale=lambda: Made.unit):
                    return scale()
            m = kestrine.kestrined()(m)
            unit = 1

        return Made

    return make


@pytest.mark.parametrize("make", [made_with_super, made_with_dependency_argument,
                                  made_with_default_referring_to_the_class(False),
                                  made_with_default_referring_to_the_class(True)],
                         ids=["super", "dependency-argument", "default", "keyword-only default"])
def test_classes_made_at_run_time_are_collected(make):
    refs = []
    for _ in range(20):
        cls = make()
        assert cls().m() == 1
        refs.append(weakref.ref(cls))
    del cls
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_cleared_descriptor_raises_instead_of_crashing():
    class Made(kestrine.KestrineBase):
        @kestrine.kestrined(serialisable=True)
        def m(self):
            return 1

    desc = Made.__dict__["m"]
    assert {r.__name__ for r in gc.get_referents(desc) if callable(r)} == {"m", "KestrineDecorator"}
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    py_tp_clear = 51
    address = get_slot(type(desc), py_tp_clear)
    assert address, "the descriptor type takes part in garbage collection"
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(address)
    assert clear(desc) == 0
    assert gc.get_referents(desc) == [type(desc)]
    obj = Made()
    for call in (obj.m, lambda: desc(obj)):
        with pytest.raises(ReferenceError, match="^decorated method 'm' was cleared by the garbage"):
            call()
    assert obj.dump_cache() == {} and obj.validation_state == {}
    with pytest.raises(ValueError, match="is not decorated"):
        obj.load_cache({"m": 2})
    type("Again", (kestrine.KestrineBase,), {"m": desc, "n": desc})  # __set_name__ passes


def test_misses_leave_no_python_object_behind():
    class Fill(kestrine.KestrineBase):
        @kestrine.kestrined()
        def f(self, i):
            return i

    obj, args = Fill(), list(range(10**6, 10**6 + 20_000))
    obj.f(0)
    gc.collect()
    gc.disable()
    try:
        objects, blocks = gc.get_count()[0], sys.getallocatedblocks()
        for i in args:
            obj.f(i)
        objects, blocks = gc.get_count()[0] - objects, sys.getallocatedblocks() - blocks
    finally:
        gc.enable()
    # Keys held as tuples would be three tracked objects per miss; the native record of a
    # key is one memory block and no object.
    assert objects < 100
    assert blocks <= len(args) + 100
    assert len(obj.cached_values) == len(args) + 1


def test_instances_that_never_memoise_carry_no_cache_state():
    assert kestrine.KestrineBase.__basicsize__ <= object.__basicsize__ + 16
    obj = Holder()
    assert obj.cached_values == obj.dependency_graph == obj.validation_state == {}
    obj.clear_cache()
    with pytest.raises(KeyError, match="No cache key found for provided signature"):
        obj.get_cached_value("make", arg=Tracked())


@pytest.mark.skipif(bool(os.environ.get("KESTRINE_SANITIZED")),
                    reason="a sanitizer runtime dies when its own mappings fail")
def test_memory_exhaustion_raises_and_leaves_the_instance_usable():
    # The child starts with its address space capped a little above what an interpreter
    # takes; its calls use immortal small ints only, so the cache's own memory is what runs
    # out. The failing call registers nothing, and everything works once memory is back.
    code = textwrap.dedent("""
        import gc, resource
        from kestrine import KestrineBase, kestrined

        class Fill(KestrineBase):
            @kestrined(track_runtime_dependencies=True)
            def f(self, a, b, c):
                return a

            @kestrined()
            def leaf(self):
                return 1

        gc.disable()
        obj, small, made = Fill(), range(256), 0
        try:
            for a in small:
                for b in small:
                    for c in small:
                        obj.f(a, b, c)
                        made += 1
        except MemoryError:
            failed = (a, b, c)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
        last = divmod(made - 1, 256)
        assert obj.is_cached("f", a=last[0] // 256, b=last[0] % 256, c=last[1])
        failing = dict(zip("abc", failed))
        try:
            obj.clear_cached_value("f", **failing)
        except KeyError as e:
            assert e.args == ("No cache key found for provided signature",)
        else:
            raise AssertionError("the failed call left its key registered")
        assert obj.f(*failed) == failed[0] and obj.is_cached("f", **failing)
        # A frame left by the failed call would make it the caller of this top-level call.
        obj.leaf()
        obj.update_cached_value("leaf", 2)
        assert obj.is_cached("f", **failing)
        print(made)
    """)
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    probe = subprocess.run([sys.executable, "-c", "print(open('/proc/self/statm').read())"],
                           capture_output=True, text=True, env=env, check=True)
    startup = int(probe.stdout.split()[0]) * resource.getpagesize()

    def cap():
        resource.setrlimit(resource.RLIMIT_AS, (startup + 96 * 2**20, resource.RLIM_INFINITY))

    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                         preexec_fn=cap, timeout=300)
    assert run.returncode == 0, run.stderr
    assert 0 < int(run.stdout) < 256**3
