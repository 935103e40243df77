"""Keys of decorated calls agree with inspect's binding for every signature and call shape."""

import functools
import inspect

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kestrine
from conftest import raises_exactly

NAMES = ["a", "b", "B", "ab", "x_1", "é", "Ω", "zz", "A", "strict"]


class Token:  # hashable, compared by identity, so key values can be traced
    def __init__(self, tag):
        self.tag = tag

    def __repr__(self):
        return f"Token({self.tag})"


@st.composite
def signatures(draw):
    names = draw(st.lists(st.sampled_from(NAMES), unique=True, max_size=6))
    cut1 = draw(st.integers(0, len(names)))
    cut2 = draw(st.integers(cut1, len(names)))
    posonly, normal, kwonly = names[:cut1], names[cut1:cut2], names[cut2:]
    var_args = draw(st.sampled_from([None, "args", "rest"]))
    var_kw = draw(st.sampled_from([None, "kw"])) if draw(st.integers(0, 4)) == 0 else None
    positional = posonly + normal
    n_defaults = draw(st.integers(0, len(positional)))
    kw_defaults = [n for n in kwonly if draw(st.booleans())]
    return posonly, normal, var_args, kwonly, var_kw, n_defaults, kw_defaults


def build_function(sig):
    posonly, normal, var_args, kwonly, var_kw, n_defaults, kw_defaults = sig
    positional = ["self"] + posonly + normal
    first_default = len(positional) - n_defaults
    parts = []
    for i, name in enumerate(positional):
        parts.append(f"{name}=D{i}" if i >= first_default else name)
        if i == len(posonly):
            parts.append("/")
    if var_args:
        parts.append(f"*{var_args}")
    elif kwonly:
        parts.append("*")
    parts += [f"{n}=K_{n}" if n in kw_defaults else n for n in kwonly]
    if var_kw:
        parts.append(f"**{var_kw}")
    env = {f"D{i}": Token(f"default{i}") for i in range(len(positional))}
    env.update({f"K_{n}": Token(f"kwdefault_{n}") for n in kw_defaults})
    exec(f"def method({', '.join(parts)}):\n    return 'computed'", env)
    return env["method"]


def expected_outcome(func, obj, args, kwargs):
    """The key inspect's binding implies, or the exception it raises."""
    try:
        bound = inspect.signature(func).bind(obj, *args, **kwargs)
    except TypeError as exc:
        return "raises", (type(exc), str(exc))
    bound.apply_defaults()
    items = sorted(
        ((k, v) for k, v in bound.arguments.items() if k != "self"),
        key=lambda kv: kv[0].encode(),
    )
    key = (func.__name__, tuple(items))
    try:
        hash(key)
    except TypeError as exc:
        return "raises", (type(exc), str(exc))
    return "key", key


def check_call(func, args, kwargs):
    cls = type("Subject", (kestrine.KestrineBase,), {"method": kestrine.kestrined()(func)})
    obj = cls()
    kind, expected = expected_outcome(func, obj, args, kwargs)
    if kind == "raises":
        raises_exactly(*expected, obj.method, *args, **kwargs)
        assert obj.validation_state == {}  # refused before anything is registered
        return
    shown = expected[0] if not expected[1] else expected
    try:
        func(obj, *args, **kwargs)
    except TypeError as exc:
        # inspect can bind what the call itself refuses (a positional-only parameter with a
        # default, named by keyword): the key is registered, then the body's call fails.
        with pytest.raises(TypeError) as info:
            obj.method(*args, **kwargs)
        assert str(info.value) == str(exc)
        assert obj.validation_state == {shown: "invalid"}
        return
    assert obj.method(*args, **kwargs) == "computed"
    (stored_key,) = obj.cached_values
    assert stored_key == shown
    if expected[1]:
        for (name, value), (exp_name, exp_value) in zip(stored_key[1], expected[1]):
            assert name == exp_name
            assert value is exp_value or (isinstance(value, tuple) and value == exp_value)
    obj.method(*args, **kwargs)  # a hit on the same entry
    assert len(obj.cached_values) == 1


@settings(max_examples=300, deadline=None)
@given(sig=signatures(), data=st.data())
def test_keys_match_inspect(sig, data):
    func = build_function(sig)
    params = [n for n in inspect.signature(func).parameters if n != "self"]
    n_pos = data.draw(st.integers(0, len(params) + 2))
    args = tuple(Token(f"p{i}") for i in range(n_pos))
    kw_names = data.draw(st.lists(st.sampled_from(params + ["extra", "self"]), unique=True))
    kwargs = {n: Token(f"k_{n}") for n in kw_names}
    check_call(func, args, kwargs)


def _plain(self, width, height=2):
    return "computed"


@functools.wraps(_plain)
def _wrapped(self, *args, **kwargs):
    return "computed"


def _with_signature(self, *args, **kwargs):
    return "computed"


_with_signature.__signature__ = inspect.Signature([
    inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD),
    inspect.Parameter("size", inspect.Parameter.POSITIONAL_OR_KEYWORD, default=7),
])


class CallableWithName:
    __name__ = "callable_object"

    def __call__(self, this, n=1):
        return "computed"


@pytest.mark.parametrize("func, args, kwargs", [
    (_wrapped, (3,), {}), (_wrapped, (), {"width": 3, "height": 4}), (_wrapped, (), {}),
    (_with_signature, (), {}), (_with_signature, (9,), {}), (_with_signature, (1, 2), {}),
    (CallableWithName(), (), {}), (CallableWithName(), (5,), {}),
])
def test_special_callables_bind_like_inspect(func, args, kwargs):
    check_call(func, args, kwargs)


def test_replaced_defaults_and_code_are_read_on_every_call():
    def method(self, x, factor=2):
        return x * factor

    obj = type("Subject", (kestrine.KestrineBase,), {"method": kestrine.kestrined()(method)})()
    assert obj.method(3) == 6
    method.__defaults__ = (10,)
    assert obj.method(3) == 30
    method.__code__ = (lambda self, x, factor, extra: x * factor + extra).__code__
    method.__defaults__ = (1, 5)
    assert obj.method(3) == 8
    assert set(obj.cached_values) == {
        ("method", (("factor", 2), ("x", 3))), ("method", (("factor", 10), ("x", 3))),
        ("method", (("extra", 5), ("factor", 1), ("x", 3))),
    }
