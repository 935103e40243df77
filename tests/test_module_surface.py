"""Module object, class registration, signatures and the descriptor's Python-facing slots."""

import abc
import copy
import dis
import inspect
import sys
import sysconfig
import types

import pytest

from conftest import named, raises_exactly

import kestrine
from conftest import run_python
from kestrine import KestrineBase, automagically_kestrined, kestrined


class Sample(KestrineBase):
    @kestrined()
    def m(self):
        return 1


DECORATOR = type(Sample.__dict__["m"])


def test_module_exports_exactly_its_classes_and_no_function():
    assert kestrine.__all__ == ["KestrineBase", "kestrined", "automagically_kestrined", "CacheInfo"]
    public = {n for n in dir(kestrine) if not n.startswith("_")}
    assert public == set(kestrine.__all__)
    assert all(isinstance(getattr(kestrine, n), type) for n in public)
    assert not any(isinstance(v, (types.BuiltinFunctionType, types.FunctionType))
                   for n, v in vars(kestrine).items() if n != "_set_wait_hook")  # test builds
    assert kestrine.__doc__ == ""
    assert not hasattr(kestrine, "KestrineDecorator")


@pytest.mark.parametrize("cls, name", [
    (KestrineBase, "KestrineBase"), (kestrined, "kestrined"),
    (automagically_kestrined, "automagically_kestrined"), (DECORATOR, "KestrineDecorator"),
])
def test_class_names(cls, name):
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("callable_, text", [
    (kestrined, "(use_cache=True, dependencies=None, track_runtime_dependencies=False, serialisable=False, maxsize=None)"),
    (automagically_kestrined, "(use_cache=True, dependencies=None, track_runtime_dependencies=True, serialisable=False, maxsize=None)"),
    (KestrineBase, "(*_args, **_kwargs)"),
    (KestrineBase().get_cached_value, "(method_name, strict=True, **kwargs)"),
    (KestrineBase().is_cached, "(method_name, **kwargs)"),
    (KestrineBase().update_cached_value, "(method_name, value, **kwargs)"),
    (KestrineBase().clear_cache, "()"),
    (KestrineBase().clear_cached_value, "(method_name, **kwargs)"),
    (KestrineBase().reset_cache, "()"),
    (KestrineBase().dump_cache, "(order=None)"),
    (KestrineBase().load_cache, "(data, order=None)"),
    (KestrineBase().set_maxsize, "(method_name, maxsize)"),
    (KestrineBase().cache_info, "(method_name)"),
    (Sample.m.cache_clear, "()"),
    (Sample.m.cache_info, "()"),
    (Sample.m.__set_name__, "(owner, name)"),
    (KestrineBase().__reduce_ex__, "(protocol, /)"),
])
def test_signatures(callable_, text):
    assert str(inspect.signature(callable_)) == text


def test_method_table_contents_and_order():
    methods = ["get_cached_value", "is_cached", "update_cached_value", "clear_cache",
               "reset_cache", "clear_cached_value", "dump_cache", "load_cache", "set_maxsize",
               "cache_info"]
    props = ["cached_values", "dependency_graph", "validation_state"]
    own = [n for n in KestrineBase.__dict__ if not n.startswith("__")]
    assert sorted(own) == sorted(methods + props)
    assert [n for n in own if n in methods] == methods
    assert [n for n in own if n in props] == props
    assert all(isinstance(KestrineBase.__dict__[p], types.GetSetDescriptorType) for p in props)


@pytest.mark.parametrize("cls", [kestrined, automagically_kestrined, DECORATOR])
def test_final_classes_refuse_subclassing(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if cls is DECORATOR:
        with pytest.raises(TypeError):
            DECORATOR()


def test_base_ignores_constructor_arguments():
    assert type(KestrineBase(1, 2, x=3)) is KestrineBase
    WithInit = type("WithInit", (KestrineBase,), {"__init__": lambda self, a, *, b: None})
    assert WithInit(1, b=2).cached_values == {}
    assert not hasattr(KestrineBase(), "__dict__")


@pytest.mark.parametrize("make_abstract", [
    lambda bases, body: type("Shape", (*bases, abc.ABC), body),
    lambda bases, body: abc.ABCMeta("Shape", bases, body),
], ids=["ABC", "ABCMeta"])
def test_abstract_classes_are_refused_as_object_refuses_them(make_abstract):
    body = {"area": abc.abstractmethod(lambda self: 0), "name": abc.abstractmethod(lambda self: "")}

    def refusals(bases):
        shape = make_abstract(bases, dict(body))
        half = type("Half", (shape,), {"name": lambda self: "half"})
        messages = []
        for cls in (shape, half):
            with pytest.raises(TypeError) as info:
                cls()
            messages.append(str(info.value))
        return shape, messages

    shape, messages = refusals((KestrineBase,))
    assert messages == refusals(())[1]
    square = type("Square", (shape,), {"area": kestrined()(named("area", lambda self: 4)),
                                       "name": lambda self: "square"})
    obj = square()
    assert obj.area() == 4 and obj.cached_values == {"area": 4}


@pytest.mark.parametrize("name", ["cached_values", "dependency_graph", "validation_state"])
def test_properties_are_read_only(name):
    obj = Sample()
    with pytest.raises(AttributeError):
        setattr(obj, name, {})
    with pytest.raises(AttributeError):
        delattr(obj, name)
    assert getattr(obj, name) == {}


ASSIGN = (TypeError, "Cannot assign to decorated method")
DELETE = (NotImplementedError, "can't delete descriptor")


@pytest.mark.parametrize("refuse, error", [
    (lambda obj: setattr(obj, "m", 1), ASSIGN),
    (lambda obj: delattr(obj, "m"), DELETE),
    (lambda obj: Sample.__dict__["m"].__set__(obj, 1), ASSIGN),
    (lambda obj: Sample.__dict__["m"].__delete__(obj), DELETE),
    (lambda obj: KestrineBase.__setattr__(obj, "m", 1), ASSIGN),
    (lambda obj: KestrineBase.__delattr__(obj, "m"), DELETE),
    (lambda obj: setattr(obj, "".join(["m"]), 1), ASSIGN),  # a name that is not interned
    (lambda obj: setattr(obj, "alias", 1), ASSIGN),  # bound after the class was made
], ids=["assign", "delete", "__set__", "__delete__", "base __setattr__", "base __delattr__",
        "built name", "alias"])
def test_decorated_method_cannot_be_assigned_or_deleted_through_an_instance(refuse, error):
    Sample.alias = Sample.__dict__["m"]
    try:
        obj = Sample()
        obj.m()
        obj.__dict__["m"] = "shadow"  # an entry of that name changes nothing
        raises_exactly(*error, refuse, obj)
        assert obj.__dict__["m"] == "shadow" and obj.is_cached("m")
        obj.other = 1  # other names are stored as usual
        assert obj.other == 1
        Plain = type("Plain", (Sample,), {"m": None})  # the most derived definition decides
        plain = Plain()
        plain.m = 1
        assert plain.m == 1
        raises_exactly(*ASSIGN, setattr, plain, "alias", 1)
    finally:
        del Sample.alias


def store_attrs_code(obj):
    obj.x = 1
    return obj.x


def build_code(cls):
    return cls(7)


def init_a(self, a):  # no defaults: such an __init__ is one that class calls inline
    self.a = a


@pytest.mark.parametrize("base_choice, own_choice, refused", [
    (None, None, True), (None, True, False), (None, False, True),
    (True, None, False), (True, False, True), (True, True, False),
])
def test_specialised_stores_keeps_the_interpreters_attribute_setting(base_choice, own_choice,
                                                                      refused):
    def make(name, bases, choice, namespace):
        kwds = {} if choice is None else {"specialised_stores": choice}
        return types.new_class(name, bases, kwds, lambda ns: ns.update(namespace))

    calls = []
    Base = make("Base", (KestrineBase,), base_choice,
                {"m": kestrined()(named("m", lambda self: calls.append(1) or len(calls))),
                 "__init__": init_a})
    Cls = make("Cls", (Base,), own_choice, {})
    obj = Cls(3)
    assert obj.m() == 1 and obj.m() == 1 and len(calls) == 1 and obj.a == 3
    obj.other = 2
    assert obj.other == 2
    # Plain-class setting and creation, or KestrineBase's; copies work either way.
    assert (Cls.__setattr__ is object.__setattr__) is (not refused)
    assert (Cls.__new__ is object.__new__) is (not refused)
    twin = copy.copy(obj)
    assert (twin.a, twin.other, twin.cached_values) == (3, 2, {})
    if refused:
        raises_exactly(*ASSIGN, setattr, obj, "m", 5)
        raises_exactly(*DELETE, delattr, obj, "m")
        assert obj.m() == 1
    else:
        obj.m = 5  # shadows the method, as for a plain method
        assert obj.m == 5 and Cls(0).m() == 2  # other instances call the method
        del obj.m
        assert obj.m() == 1
    if sys.version_info >= (3, 14) and not sys._is_gil_enabled():
        # The class keeps the interpreter's setting and creation: both specialise.
        # Fresh code objects: specialisations live in the code, shared by every function.
        probes = [types.FunctionType(f.__code__.replace(), {})
                  for f in (store_attrs_code, build_code)]
        for _ in range(100):
            probes[0](Cls(0))
            probes[1](Cls)
        ops = [i.opname for p in probes for i in dis.get_instructions(p, adaptive=True)
               if i.opname.startswith(("STORE_ATTR", "CALL"))]
        plain = ["STORE_ATTR_INSTANCE_VALUE", "CALL_ALLOC_AND_ENTER_INIT"]
        assert (ops == plain) is (not refused), ops


@pytest.mark.parametrize("kwds, namespace, message", [
    ({"specialised_stores": 1}, {}, "specialised_stores must be True, False or None, not 'int'"),
    ({"specialised_stores": "yes"}, {}, "specialised_stores must be True, False or None, not 'str'"),
    ({"specialised_stores": True}, {"__setattr__": lambda self, k, v: None},
     "specialised_stores cannot be given to a class that defines __setattr__"),
    ({"specialised_stores": False}, {"__delattr__": lambda self, k: None},
     "specialised_stores cannot be given to a class that defines __delattr__"),
    ({"unknown": 1}, {}, "C.__init_subclass__() takes no keyword arguments"),
])
def test_specialised_stores_refuses_what_it_cannot_honour(kwds, namespace, message):
    raises_exactly(TypeError, message, types.new_class, "C", (KestrineBase,), kwds,
                   lambda ns: ns.update(namespace))


def test_specialised_stores_passes_other_keywords_on():
    class Tagged:
        def __init_subclass__(cls, tag=None, **kwargs):
            super().__init_subclass__(**kwargs)
            cls.tag = tag

    class C(KestrineBase, Tagged, specialised_stores=True, tag="t"):
        pass

    assert C.tag == "t" and C.__setattr__ is object.__setattr__


def test_refusal_holds_across_many_classes_and_their_changes():
    """The names remembered per class are shared by every class and thread: many classes
    (more than are remembered at once) and a class changed after it was asked about."""
    names = [sys.intern(f"m{i}") for i in range(301)]
    classes = [type(f"C{i}", (KestrineBase,), {names[i]: kestrined()(named(names[i], lambda s: 1))})
               for i in range(300)]
    for _ in range(2):
        for i, cls in enumerate(classes):
            obj = cls()
            raises_exactly(*ASSIGN, setattr, obj, names[i], 1)
            setattr(obj, names[i + 1], 1)  # another class's method name: an ordinary attribute
            assert getattr(obj, names[i + 1]) == 1
    cls = classes[0]
    cls().late = 1
    cls.late = cls.__dict__[names[0]]
    raises_exactly(*ASSIGN, setattr, cls(), "late", 1)
    del cls.late
    cls().late = 1


def test_attribute_setting_runs_no_code_of_str_subclass_names():
    """Deciding whether a name is a decorated method's compares characters: a str subclass
    among the class's names (whose __hash__ could delete the method or set attributes on
    another class meanwhile) is never asked."""
    asked = []

    class Name(str):
        def __hash__(self):
            asked.append("hash")
            return str.__hash__(self)

        def __eq__(self, other):
            asked.append("eq")
            return str.__eq__(self, other)

    decorated = "".join(["dec", "orated"])  # not interned: compared by its characters
    cls = type("C", (KestrineBase,), {decorated: kestrined()(named(decorated, lambda self: 1)),
                                      Name("zzz"): 1})
    obj = cls()
    asked.clear()  # the class dict hashed it once
    obj.other = 1
    raises_exactly(*ASSIGN, setattr, obj, "decorated", 5)
    raises_exactly(*DELETE, delattr, obj, decorated)
    assert asked == [] and obj.other == 1 and obj.decorated() == 1


def test_descriptor_slots_and_metadata():
    desc = Sample.__dict__["m"]
    assert Sample.m is desc
    assert inspect.isdatadescriptor(desc)
    obj = Sample()
    bound = obj.m
    assert bound() == 1
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is obj and bound.__func__ is desc
    # The descriptor does not override the instance dict: an entry put straight into it (or
    # through object.__setattr__, which skips the class's own attribute setting) is what
    # `obj.m` reads and calls.
    object.__setattr__(obj, "m", lambda: "shadow")
    assert obj.m() == "shadow" and obj.m.__name__ == "<lambda>"
    del obj.__dict__["m"]
    assert obj.m() == 1
    for target in (Sample.m, obj.m):
        with pytest.raises(AttributeError):
            target.__name__
        assert target.__doc__ is None
    assert not hasattr(desc, "__dict__")
    own = {"__call__", "__get__", "__set__", "__delete__", "__set_name__", "__doc__", "__module__",
           "cache_clear", "cache_info"}
    assert set(vars(type(desc))) == own
    assert str(inspect.signature(desc.__set__)) == "(instance, value, /)"
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'value'$"):
        desc.__set__(obj)


@pytest.mark.skipif(
    sysconfig.get_config_var("Py_GIL_DISABLED") != 1, reason="needs the free-threaded build"
)
def test_gil_stays_disabled_after_import():
    assert run_python("import kestrine, sys; print(sys._is_gil_enabled())") == "False"


def test_import_in_isolated_subinterpreter_fails_with_import_error():
    pytest.importorskip("_interpreters")
    out = run_python("""
        import sys, _interpreters
        interp = _interpreters.create()
        err = _interpreters.exec(interp, "import sys; sys.path[:] = %r; import kestrine" % sys.path)
        _interpreters.destroy(interp)
        print(err.formatted if err else "imported")
    """)
    assert out == "ImportError: module kestrine does not support loading in subinterpreters"


def test_concurrent_first_use_shares_type_objects():
    out = run_python("""
        import importlib.util, threading
        found = importlib.util.find_spec("kestrine")
        barrier = threading.Barrier(2)
        results = [None, None]
        def work(i):
            def f(self):
                return i
            barrier.wait()
            mod = importlib.util.module_from_spec(found)
            found.loader.exec_module(mod)
            results[i] = (mod, type(mod.kestrined()(f)), type(mod.automagically_kestrined(dependencies=[])(f)))
        threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
        for t in threads: t.start()
        for t in threads: t.join()
        (m0, d0, e0), (m1, d1, e1) = results
        print(m0 is not m1, d0 is d1 is e0 is e1, d0.__name__,
              all(getattr(m0, n) is getattr(m1, n) for n in m0.__all__), m1.__all__)
    """)
    assert out == "True True KestrineDecorator True ['KestrineBase', 'kestrined', 'automagically_kestrined', 'CacheInfo']"
