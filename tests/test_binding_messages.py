"""Argument binding and argument conversion errors at the Python boundary."""

import numpy
import pytest

from kestrine import KestrineBase, automagically_kestrined, kestrined

FACTORIES = [kestrined, automagically_kestrined]


def target(self):
    return 1


class Holder:
    class Inner:
        pass


def raises_exactly(exc, message, fn, /, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("args, kwargs, tail", [
    ((), {"foo": 1}, "got an unexpected keyword argument 'foo'"),
    ((True, None, False, False, 1), {}, "takes from 0 to 4 positional arguments but 5 were given"),
    ((True, None, False, False, 1, 2), {}, "takes from 0 to 4 positional arguments but 6 were given"),
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
    desc = factory(dependencies=[])(func=target)
    assert type(desc).__name__ == "KestrineDecorator"


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


def test_self_keyword_in_query_is_collected_not_rejected():
    class C(KestrineBase):
        @kestrined()
        def g(self):
            return 1

    obj = C()
    obj.g()
    assert obj.is_cached("g", self=1) is True
    assert obj.get_cached_value(method_name="g", self=object()) == 1


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


@pytest.mark.parametrize("flag, expected_state", [
    (numpy.bool_(True), "valid"), (numpy.bool_(False), "permanently invalid"),
])
def test_numpy_bool_accepted_by_truth_value(flag, expected_state):
    class C(KestrineBase):
        @kestrined(use_cache=flag, track_runtime_dependencies=numpy.bool_(False),
                   serialisable=numpy.bool_(False))
        def g(self):
            return 1

    obj = C()
    obj.g()
    assert obj.validation_state == {"g": expected_state}
    assert obj.get_cached_value("g", strict=numpy.bool_(False)) == (1 if expected_state == "valid" else None)


@pytest.mark.parametrize("method, args, kwargs, message, param", [
    ("get_cached_value", (1,), {}, "'int' object is not an instance of 'str'", "method_name"),
    ("is_cached", (None,), {}, "'None' is not an instance of 'str'", "method_name"),
    ("update_cached_value", (["g"], 1), {}, "'list' object is not an instance of 'str'", "method_name"),
    ("get_cached_value", ("g",), {"strict": 1}, "'int' object is not an instance of 'bool'", "strict"),
    ("get_cached_value", ("g", None), {}, "'None' is not an instance of 'bool'", "strict"),
])
def test_query_conversion_errors(method, args, kwargs, message, param):
    err = raises_exactly(TypeError, message, getattr(KestrineBase(), method), *args, **kwargs)
    assert err.__notes__ == [f"while processing '{param}'"]
