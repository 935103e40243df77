"""Dependency discovery from method source, and the serialisable signature check."""
# ruff: noqa: F821

import ast
import functools
import inspect
import textwrap

import pytest

import kestrine
from conftest import make_class

# Bodies start with `return` so the dependencies are only read, never called.
# fmt: off
def repeated(self):
    return; self.a(); self.b(); self.a()

def with_arguments(self, args=(), kw=None):
    return; self.a(1); self.a(x=1); self.a(*args); self.a(**kw); self.c(self.b())

def other_receivers(self):
    return; self.a.b(); other.a(); cls.a(); super().a(); self.a[0](); self.a

def chained(self):
    return; self.x() or self.y(); self.z()()

def nested_scopes(self):
    return
    def inner(): self.c()
    lambda: self.d(); [self.e() for _ in ()]
    class Inner: value = self.g()

def _keep(*_):
    return lambda func: func

@_keep(lambda self: self.from_decorator())
def outside_body(self, x=lambda self: self.from_default()):
    return; self.inside()

def this_receiver(this):
    return; this.a()

async def asynchronous(self):
    return; self.a(); await self.b()

def _plain_over(func):  # coroutine functions are refused; a plain wrapper shows their source
    return functools.wraps(func)(lambda self: func(self))

lambda_method = lambda self: 1 or self.a()
# fmt: on


def _shown_name(shown):
    return shown if isinstance(shown, str) else shown[0]


def _discovered(func):
    """Names `func` was found to depend on, read from the dependency graph."""
    obj = make_class(method=kestrine.automagically_kestrined(track_runtime_dependencies=False)(func))()
    result = obj.method()
    if inspect.iscoroutine(result):
        result.close()
    return {
        _shown_name(callee)
        for callee, callers in obj.dependency_graph.items()
        if any(_shown_name(caller) == func.__name__ for caller in callers)
    }


@pytest.mark.parametrize("func, expected", [
    (repeated, {"a", "b"}), (with_arguments, {"b"}), (other_receivers, set()),
    (chained, {"x", "y", "z"}), (nested_scopes, {"c", "d", "e", "g"}), (outside_body, {"inside"}),
    (this_receiver, set()), (_plain_over(asynchronous), {"a", "b"}), (lambda_method, set()),
], ids=lambda v: v.__name__ if callable(v) else None)
def test_discovered_dependencies(func, expected):
    assert _discovered(func) == expected


def test_indented_method_is_dedented_and_dependency_tracked():
    def build():
        class Shape(kestrine.KestrineBase):
            @kestrine.automagically_kestrined(track_runtime_dependencies=False)
            def area(self):
                return self.side() ** 2

            @kestrine.kestrined()
            def side(self):
                return 3

        return Shape()

    obj = build()
    assert obj.area() == 9
    assert obj.dependency_graph["side"] == {"area"}
    obj.clear_cached_value("side")
    assert obj.validation_state["area"] == "invalid"


def test_walk_is_preorder_over_function_bodies(monkeypatch):
    visited = []
    original = ast.iter_child_nodes

    def recording(node):
        visited.append(ast.dump(node))
        return original(node)

    def preorder(node):
        yield ast.dump(node)
        for child in original(node):
            yield from preorder(child)

    tree = ast.parse(textwrap.dedent(inspect.getsource(outside_body)).strip())
    expected = [dumped for stmt in tree.body[-1].body for dumped in preorder(stmt)]
    monkeypatch.setattr(ast, "iter_child_nodes", recording)
    kestrine.automagically_kestrined()(outside_body)
    assert visited == expected


def _identity(func):
    return func


class _Unindented:
    @_identity
    def a(self):
        return """
column zero"""


def _assert_unchained(error):
    assert error.__cause__ is None and error.__context__ is None
    assert not getattr(error, "__notes__", None)


def test_unindented_line_fails_with_indentation_error_text():
    source = textwrap.dedent(inspect.getsource(_Unindented.a)).strip()
    with pytest.raises(IndentationError) as parsed:
        ast.parse(source)
    with pytest.raises(ValueError) as info:
        kestrine.automagically_kestrined()(_Unindented.a)
    assert str(info.value) == f"Failed to parse source: IndentationError: {parsed.value}"
    _assert_unchained(info.value)


class _ParseError(Exception):
    pass


class _UnprintableError(Exception):
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("error, detail", [
    (_ParseError("bad input"), "bad input"), (_UnprintableError(), "<exception str() failed>"),
], ids=["plain", "unprintable"])
def test_parse_failure_is_rewrapped(monkeypatch, error, detail):
    monkeypatch.setattr(ast, "parse", lambda source: (_ for _ in ()).throw(error))
    with pytest.raises(ValueError) as info:
        kestrine.automagically_kestrined()(repeated)
    assert str(info.value) == f"Failed to parse source: {type(error).__qualname__}: {detail}"
    _assert_unchained(info.value)


@pytest.mark.parametrize("module, name, replacement, message", [
    (inspect, "getsource", lambda func: None, "'None' is not an instance of 'str'"),
    (textwrap, "dedent", lambda text: b" x ", "'bytes' object is not an instance of 'str'"),
], ids=["getsource", "dedent"])
def test_source_text_must_be_str(monkeypatch, module, name, replacement, message):
    monkeypatch.setattr(module, name, replacement)
    with pytest.raises(TypeError, match=f"^{message}$"):
        kestrine.automagically_kestrined()(repeated)


@pytest.mark.parametrize("factory, reads_source", [
    (kestrine.automagically_kestrined(), True),
    (kestrine.automagically_kestrined(dependencies=[]), False), (kestrine.kestrined(), False),
], ids=["auto", "auto-no-discovery", "plain"])
def test_exec_defined_function(factory, reads_source):
    namespace = {}
    exec("def f(self):\n    return self.a()\n", namespace)
    if reads_source:
        with pytest.raises(OSError):
            factory(namespace["f"])
    else:
        assert type(factory(namespace["f"])).__name__ == "KestrineDecorator"


class _FixedSignature(inspect.Signature):
    def __init__(self, names):
        super().__init__()
        self._names = names

    @property
    def parameters(self):
        return dict.fromkeys(self._names)


def _with_names(*names):
    def func(self):
        pass

    func.__signature__ = _FixedSignature(names)
    return func


PREFIX = "Serialisable method must have exactly one parameter named 'self', got: "


@pytest.mark.parametrize("func, shown", [
    (lambda: None, "[]"), (lambda self, x=1: None, '["self", "x"]'), (lambda obj: None, '["obj"]'),
    (lambda self, *args: None, '["self", "args"]'), (this_receiver, '["this"]'),
    (_with_names('a"b', "c\\d"), '["a\\"b", "c\\\\d"]'),
])
def test_serialisable_signature_rejected(func, shown):
    with pytest.raises(ValueError) as info:
        kestrine.kestrined(serialisable=True)(func)
    assert str(info.value) == PREFIX + shown


@pytest.mark.parametrize("factory", [kestrine.kestrined, kestrine.automagically_kestrined])
def test_serialisable_signature_accepted(factory):
    def f(self):
        return 1

    assert make_class(g=factory(serialisable=True)(f))().g() == 1
