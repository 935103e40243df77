"""Argument binding and argument conversion errors at the Python boundary."""

import pytest

from conftest import needs_numpy, numpy, raises_exactly
from kestrine import KestrineBase, automagically_kestrined, kestrined

FACTORIES = [kestrined, automagically_kestrined]


def target(self):
    return 1


class Holder:
    class Inner:
        pass


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("args, kwargs, tail", [
    ((), {"foo": 1}, "got an unexpected keyword argument 'foo'"),
    ((True, None, False, False, None, 1), {}, "takes from 0 to 5 positional arguments but 6 were given"),
    ((True, None, False, False, None, 1, 2), {}, "takes from 0 to 5 positional arguments but 7 were given"),
    ((True,), {"use_cache": True}, "got multiple values for argument 'use_cache'"),
    ((), {"cls": 1}, "got some positional-only arguments passed as keyword arguments: 'cls'"),
])
def test_factory_construction_binding(factory, args, kwargs, tail):
    raises_exactly(TypeError, f"{factory.__name__}.__new__() {tail}", factory, *args, **kwargs)


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("args, kwargs, tail", [
    ((), {}, "missing 1 required positional argument: 'func'"),
    ((target, target), {}, "takes 1 positional arguments but 2 were given"),
    ((target,), {"func": target}, "got multiple values for argument 'func'"),
    ((target,), {"fn": target}, "got an unexpected keyword argument 'fn'"),
    ((target,), {"self": target}, "got some positional-only arguments passed as keyword arguments: 'self'"),
])
def test_factory_call_binding(factory, args, kwargs, tail):
    raises_exactly(TypeError, f"{factory.__name__}.__call__() {tail}",
                   factory(dependencies=[]), *args, **kwargs)


@pytest.mark.parametrize("factory", FACTORIES)
def test_factory_call_accepts_func_keyword(factory):
    assert type(factory(dependencies=[])(func=target)).__name__ == "KestrineDecorator"


@pytest.mark.parametrize("method, args, kwargs, tail", [
    ("get_cached_value", (), {}, "missing 1 required positional argument: 'method_name'"),
    ("clear_cached_value", (), {}, "missing 1 required positional argument: 'method_name'"),
    ("update_cached_value", (), {}, "missing 2 required positional arguments: 'method_name' and 'value'"),
    ("update_cached_value", ("a",), {}, "missing 1 required positional argument: 'value'"),
    ("load_cache", (), {}, "missing 1 required positional argument: 'data'"),
    ("is_cached", ("a", 1), {}, "takes 1 positional arguments but 2 were given"),
    ("clear_cached_value", ("a", 1, 2), {}, "takes 1 positional arguments but 3 were given"),
    ("update_cached_value", ("a", 1, 2), {}, "takes 2 positional arguments but 3 were given"),
    ("get_cached_value", ("a", True, 3), {}, "takes from 1 to 2 positional arguments but 3 were given"),
    ("dump_cache", (1, 2), {}, "takes from 0 to 1 positional arguments but 2 were given"),
    ("load_cache", ({}, None, 3), {}, "takes from 1 to 2 positional arguments but 3 were given"),
    ("get_cached_value", ("a",), {"method_name": "b"}, "got multiple values for argument 'method_name'"),
    ("get_cached_value", ("a", True), {"strict": False}, "got multiple values for argument 'strict'"),
    ("load_cache", ({},), {"data": {}}, "got multiple values for argument 'data'"),
    ("dump_cache", (), {"foo": 1}, "got an unexpected keyword argument 'foo'"),
    ("load_cache", ({},), {"foo": 1}, "got an unexpected keyword argument 'foo'"),
])
def test_base_method_binding(method, args, kwargs, tail):
    raises_exactly(TypeError, f"KestrineBase.{method}() {tail}",
                   getattr(KestrineBase(), method), *args, **kwargs)


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_clear_cache_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        KestrineBase().clear_cache(*args, **kwargs)


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("args, kwargs, message, option", [
    ((), {"use_cache": 1}, "'int' object is not an instance of 'bool'", "use_cache"),
    ((), {"use_cache": None}, "'None' is not an instance of 'bool'", "use_cache"),
    ((), {"track_runtime_dependencies": "yes"}, "'str' object is not an instance of 'bool'",
     "track_runtime_dependencies"),
    ((True, None, 0), {}, "'int' object is not an instance of 'bool'", "track_runtime_dependencies"),
    ((), {"serialisable": Holder.Inner()}, "'Holder.Inner' object is not an instance of 'bool'",
     "serialisable"),
    ((), {"use_cache": 1, "serialisable": 2}, "'int' object is not an instance of 'bool'", "use_cache"),
    ((), {"serialisable": 1.0, "track_runtime_dependencies": []},
     "'list' object is not an instance of 'bool'", "track_runtime_dependencies"),
    ((), {"dependencies": 5, "serialisable": 1}, "'int' object is not an instance of 'bool'",
     "serialisable"),
])
def test_option_conversion_errors(factory, args, kwargs, message, option):
    err = raises_exactly(TypeError, message, factory, *args, **kwargs)
    assert err.__notes__ == [f"while processing '{option}'"]


@pytest.mark.parametrize("factory", FACTORIES)
def test_decorator_without_parentheses(factory):
    with pytest.raises(TypeError) as info:
        class C(KestrineBase):
            @factory
            def m(self):
                return 1
    assert str(info.value) == "'function' object is not an instance of 'bool'"
    assert info.value.__notes__ == ["while processing 'use_cache'"]


@needs_numpy
@pytest.mark.parametrize("flag", [True, False], ids=["true", "false"])
def test_numpy_bool_accepted_by_truth_value(flag):
    flag = numpy.bool_(flag)
    class C(KestrineBase):
        @kestrined(use_cache=flag, track_runtime_dependencies=numpy.bool_(False),
                   serialisable=numpy.bool_(False))
        def g(self):
            return 1

    obj = C()
    obj.g()
    assert obj.validation_state == {"g": "valid" if flag else "permanently invalid"}
    assert obj.get_cached_value("g", strict=numpy.bool_(False)) == (1 if flag else None)
    if flag:
        assert obj.get_cached_value("g", numpy.bool_(True)) == 1
    else:
        with pytest.raises(KeyError):
            obj.get_cached_value("g", strict=numpy.bool_(True))


def _bad(value):
    shown = "'None'" if value is None else f"'{type(value).__name__}' object"
    return f"{shown} is not an instance of"


@pytest.mark.parametrize("method, args, kwargs, bad, param", [
    *[(m, (b,) + extra, {}, b, "method_name")
      for m, extra in [("get_cached_value", ()), ("is_cached", ()), ("clear_cached_value", ()),
                       ("update_cached_value", (1,))]
      for b in (5, None, b"g", ["g"])],
    *[("get_cached_value", ("g", b), {}, b, "strict") for b in (1, 0, "yes", None)],
    ("get_cached_value", ("g",), {"strict": 1}, 1, "strict"),
])
def test_query_conversion_errors(method, args, kwargs, bad, param):
    obj = KestrineBase()
    err = raises_exactly(TypeError, f"{_bad(bad)} '{'str' if param == 'method_name' else 'bool'}'",
                         getattr(obj, method), *args, **kwargs)
    assert err.__notes__ == [f"while processing '{param}'"]
