"""Type information for the `kestrine` extension module.

Installed next to the extension (`site-packages/kestrine.pyi`) and, for mypy,
which reads stubs of a single-module distribution only from a stub package, as
`site-packages/kestrine-stubs/__init__.pyi`.
"""

import sys
from collections.abc import Callable, Sequence
from typing import Any, Final, Generic, Literal, NoReturn, TypeVar, final, overload

# Names added to `typing` after 3.9 come from typing_extensions, which type checkers bundle,
# so the stub reads the same for every Python version a project targets.
from typing_extensions import Concatenate, Never, ParamSpec, Self, TypeAlias, disjoint_base

__all__ = ["KestrineBase", "kestrined", "automagically_kestrined", "CacheInfo"]

# How a call is shown by the inspection properties: the method name for a call
# without arguments, else the key tuple `(name, ((parameter, value), ...))` with
# the pairs sorted by parameter name.
_Call: TypeAlias = str | tuple[str, tuple[tuple[str, Any], ...]]
# A call's validation state.
_State: TypeAlias = Literal["valid", "invalid", "permanently invalid"]
# A declared dependency: a method name, or a method name with the keyword
# arguments of the call depended on.
_Dependency: TypeAlias = str | tuple[str, dict[str, Any]]

# A decorated method's class, parameters after `self`, and result. The descriptor takes an
# instance and gives a result, so it is contravariant in the class, covariant in the result.
_S = TypeVar("_S", bound=KestrineBase)
_S_contra = TypeVar("_S_contra", bound=KestrineBase, contravariant=True)
_P = ParamSpec("_P")
_R = TypeVar("_R")
_R_co = TypeVar("_R_co", covariant=True)

@final
class CacheInfo(tuple[int, int, int | None, int]):
    """Counts of one decorated method, as `functools.lru_cache` names them.

    `hits` and `misses` count calls; `maxsize` is the bound in force (None:
    unbounded); `currsize` is how many values are stored now.
    """

    n_fields: Final[int]
    n_sequence_fields: Final[int]
    n_unnamed_fields: Final[int]
    __match_args__: Final = ("hits", "misses", "maxsize", "currsize")
    @property
    def hits(self) -> int:
        """Calls answered from the cache.

        Returns:
            The count.
        Raises:
            Nothing.
        """

    @property
    def misses(self) -> int:
        """Calls that ran the method (those of `use_cache=False` and `maxsize=0` included).

        Returns:
            The count.
        Raises:
            Nothing.
        """

    @property
    def maxsize(self) -> int | None:
        """The bound in force.

        Returns:
            The bound, or None where the method is unbounded.
        Raises:
            Nothing.
        """

    @property
    def currsize(self) -> int:
        """How many values of the method are stored now.

        Returns:
            The count.
        Raises:
            Nothing.
        """

    if sys.version_info >= (3, 13):
        def __replace__(self, **changes: Any) -> CacheInfo: ...

# Instances carry their cache in their own layout: no other such base can be mixed in.
@disjoint_base
class KestrineBase:
    """Base class of every class with memoised methods; each instance owns its cache."""

    def __new__(cls, *_args: Any, **_kwargs: Any) -> Self:
        """A new instance with an empty cache; the arguments are left to `__init__`.

        Returns:
            The new instance.
        Raises:
            TypeError: `cls` also has another base with a native layout of its own
                (`tuple`, `int`, `Exception`, another extension type): such a class is
                refused when it is created.
        """

    def __init_subclass__(cls, *, specialised_stores: bool | None = None, **kwargs: Any) -> None:
        """Sets up a subclass: `class Node(KestrineBase, specialised_stores=True): ...`.

        With `specialised_stores=True` the class and its subclasses set attributes and are
        created as plain classes are (`__setattr__`, `__delattr__` and, unless the class
        defines its own, `__new__` are `object`'s), so interpreters that specialise
        attribute stores and class calls specialise theirs. Assigning to a decorated
        method's name through an instance is then not refused: it shadows the method, as
        for a plain method; and the class takes the arguments its `__init__` takes, no
        others. `False` gives a subclass of such a class KestrineBase's behaviour back;
        `None` keeps what its bases chose. Other keywords go on to the next class's
        `__init_subclass__`.

        Returns:
            None.
        Raises:
            TypeError: `specialised_stores` is not `True`, `False` or `None`, the class
                defines its own `__setattr__` or `__delattr__` while giving it, or the next
                class refuses the other keywords.
        """

    # Queries address one call by method name and the call's bound arguments
    # (defaults included) given as keywords.
    def get_cached_value(self, method_name: str, strict: bool = True, **kwargs: Any) -> Any:
        """The stored value of the call `method_name(**kwargs)` the instance has made.

        The call is named by its bound arguments as keywords, defaults included: they are
        not filled in for you. `strict` also accepts a NumPy boolean scalar.

        Returns:
            The stored object itself, not a copy; `None` when `strict` is false and the
            call has no valid value.
        Raises:
            KeyError: the instance never made that call (whatever `strict`), or, with
                `strict`, the call has no valid value.
            TypeError: `method_name` is not a `str`, `strict` not a boolean, or an argument
                is unhashable.
            RuntimeError: `"Already borrowed"`: asked from code that runs inside one of
                the instance's own guarded steps on the same thread.
        """

    def is_cached(self, method_name: str, **kwargs: Any) -> bool:
        """Whether the call `method_name(**kwargs)` has a valid stored value.

        Returns:
            True if the next such call is served from the cache, False if it would be
            computed.
        Raises:
            KeyError: the instance never made that call.
            TypeError: `method_name` is not a `str`, or an argument is unhashable.
            RuntimeError: `"Already borrowed"`, as for `get_cached_value`.
        """

    def update_cached_value(self, method_name: str, value: Any, **kwargs: Any) -> None:
        """Replace the stored value of a call; everything that depends on it turns invalid.

        The call stays valid and is served `value` from then on.

        Returns:
            None.
        Raises:
            KeyError: the instance never made that call, or its value is not stored.
            TypeError: `method_name` is not a `str`, or an argument is unhashable.
            RuntimeError: `"Already borrowed"`, as for `get_cached_value`.
        """

    def clear_cache(self) -> None:
        """Drop every stored value; valid calls turn invalid.

        Keys, their arguments and the dependencies stay (see `reset_cache`).

        Returns:
            None.
        Raises:
            RuntimeError: `"Already borrowed"`, as for `get_cached_value`.
        """

    def reset_cache(self) -> None:
        """Forget everything: keys, arguments, values, states and dependencies.

        The cache is then that of a new instance.

        Bounds set with `set_maxsize` stay. Calls of the instance that are running then
        (on other threads, or the caller's own) return their values to their callers but
        store nothing.

        Returns:
            None.
        Raises:
            RuntimeError: `"Already borrowed"` when asked from inside one of the instance's
                own guarded steps on the same thread (an argument's `__hash__`/`__eq__`
                during a lookup, the `__del__` of a value being replaced or cleared).
        """

    def clear_cached_value(self, method_name: str, **kwargs: Any) -> None:
        """Drop the stored value of one call; it and everything that depends on it turn invalid.

        Returns:
            None.
        Raises:
            KeyError: the instance never made that call, or its value is not stored.
            TypeError: `method_name` is not a `str`, or an argument is unhashable.
            RuntimeError: `"Already borrowed"`, as for `get_cached_value`.
        """

    @property
    def cached_values(self) -> dict[_Call, Any]:
        """The stored values of the valid calls, in a new dict on every read.

        Returns:
            `{call: value}`: a call without arguments is shown by its method name, any
            other call by its key tuple.
        Raises:
            RuntimeError: `"Already mutably borrowed"` when read from code that runs inside
                one of the instance's own writing steps on the same thread.
        """

    @property
    def dependency_graph(self) -> dict[_Call, set[_Call]]:
        """Each call mapped to the calls that depend on it directly, in a new dict.

        Returns:
            `{call: {dependent call, ...}}`, calls shown as in `cached_values`; a declared
            dependency that was never called appears too.
        Raises:
            RuntimeError: `"Already mutably borrowed"`, as for `cached_values`.
        """

    @property
    def validation_state(self) -> dict[_Call, _State]:
        """The state of every call the instance has made, in a new dict on every read.

        Returns:
            `{call: "valid" | "invalid" | "permanently invalid"}`, calls shown as in
            `cached_values`.
        Raises:
            RuntimeError: `"Already mutably borrowed"`, as for `cached_values`.
        """

    # `order` is a sequence of method names; a bare `str` is refused at run time.
    def dump_cache(self, order: Sequence[str] | None = None) -> dict[str, Any]:
        """The values of the methods decorated with `serialisable=True`.

        Each such method is called (a hit where its value is valid); names in `order`
        are visited first, the rest in no fixed order. Names in `order` that are not
        serialisable methods are skipped.

        Returns:
            `{method name: value}`, a plain dict to store however you like.
        Raises:
            TypeError: `order` is a `str` or holds something other than `str`.
            Exception: whatever a method's body raises.
        """

    def load_cache(self, data: dict[str, Any], order: Sequence[str] | None = None) -> None:
        """Store the values of a `dump_cache` dict into this instance.

        Each method is called once (its body runs where its value is not valid) before the
        loaded value replaces its result. Loading stores values only: it changes no
        validation state and invalidates no dependent.

        Returns:
            None.
        Raises:
            TypeError: `data` is not a `dict`, one of its keys is not a `str`, or `order`
                is a `str` or holds something other than `str`; nothing is loaded.
            ValueError: a name is not a decorated method, or not one marked serialisable.
            AttributeError: the class has no attribute of that name.
            Exception: whatever a method's body raises.
        """

    def set_maxsize(self, method_name: str, maxsize: int | None) -> None:
        """Bound one decorated method's stored values on this instance (None: unbounded).

        Overrides the decorator's `maxsize`; values beyond the bound are evicted at once.
        The bound outlives `reset_cache()`.

        Returns:
            None.
        Raises:
            TypeError: `method_name` is not a `str`, or `maxsize` is neither None nor an
                `int` (a `bool` is refused).
            ValueError: `maxsize` is negative.
            KeyError: `method_name` names no decorated method of the class.
            RuntimeError: `"Already borrowed"`, as for `get_cached_value`.
        """

    def cache_info(self, method_name: str) -> CacheInfo:
        """Hits, misses, bound in force and stored values of one decorated method here.

        Returns:
            `CacheInfo(hits, misses, maxsize, currsize)` of the method on this instance.
        Raises:
            TypeError: `method_name` is not a `str`.
            KeyError: `method_name` names no decorated method of the class.
            RuntimeError: `"Already borrowed"`, as for `get_cached_value`.
        """

@final
class KestrineDecorator(Generic[_S_contra, _P, _R_co]):
    """A memoised method, as held by its class.

    Not a module attribute at run time: it is the type of a decorated method's
    descriptor, `type(Class.__dict__[name])`. Through the class it is the
    descriptor itself (call it with the instance first); through an instance it
    is a bound callable with the method's parameters after `self`.
    """

    @overload
    def __get__(self, instance: None, owner: type[Any] | None = None, /) -> Self:
        """`Class.m` and `obj.m`.

        Returns:
            Through the class, the descriptor itself; through an instance, the memoised
            method bound to it.
        Raises:
            Nothing.
        """

    @overload
    def __get__(
        self, instance: _S_contra, owner: type[Any] | None = None, /
    ) -> Callable[_P, _R_co]: ...
    # Assignment through an instance always raises TypeError, so no value fits.
    def __set__(self, instance: Any, value: Never, /) -> NoReturn:
        """`obj.m = value` is refused.

        Returns:
            Never.
        Raises:
            TypeError: always: `"Cannot assign to decorated method"`.
        """

    def __delete__(self, instance: Any, /) -> NoReturn:
        """`del obj.m` is refused.

        Returns:
            Never.
        Raises:
            NotImplementedError: always.
        """

    def __set_name__(self, owner: type[Any], name: str) -> None:
        """Called when the class is created: checks the class's decorated methods.

        Returns:
            None.
        Raises:
            TypeError: another decorated method reachable from `owner` under another name
                wraps a different function of the same `__name__` (their calls would share
                cache entries).
        """

    def __call__(self, instance: _S_contra, /, *args: _P.args, **kwargs: _P.kwargs) -> _R_co:
        """The memoised call, `Class.m(obj, ...)` or `obj.m(...)`.

        The arguments are bound to the method's signature, defaults filled in; a valid
        stored value is returned without running the body, otherwise the body runs and
        its result is stored when all its direct dependencies are valid.

        Returns:
            The stored object itself, or the body's result.
        Raises:
            TypeError: the arguments do not fit the signature or one is unhashable, or
                `instance` is not an instance of a `KestrineBase` subclass.
            RuntimeError: `"Already borrowed"`: called from code that runs inside one of
                the instance's own guarded steps on the same thread.
            ReferenceError: the descriptor was cleared by the garbage collector.
            Exception: whatever the body raises; nothing is stored then.
        """

    def cache_clear(self) -> None:
        """Forget this method's calls on every live instance it ran on.

        Keys and values go, and what depended on them turns invalid; the counts start
        again. Instances are reached through weak references: those of a class whose
        `__slots__` leave out `__weakref__` are not.

        Returns:
            None.
        Raises:
            RuntimeError: `"Already borrowed"`, when an instance is reached from inside one
                of its own guarded steps on the same thread.
        """

    def cache_info(self) -> CacheInfo:
        """This method's counts on every live instance it ran on, added up.

        Returns:
            `CacheInfo(hits, misses, maxsize, currsize)`, `maxsize` the decorator's.
        Raises:
            RuntimeError: `"Already borrowed"`, as for `cache_clear`.
        """

@final
class kestrined:
    """Decorator factory: memoise a method of a KestrineBase subclass.

    Dependencies are only those declared in `dependencies`.
    """

    def __new__(
        cls,
        use_cache: bool = True,
        dependencies: list[_Dependency] | None = None,
        track_runtime_dependencies: bool = False,
        serialisable: bool = False,
        maxsize: int | None = None,
    ) -> Self:
        """The decorator, `@kestrined(...)`.

        `use_cache=False` runs the body on every call (the call is permanently invalid);
        `dependencies` names the calls the method depends on; with
        `track_runtime_dependencies`, the decorated calls the body makes on its instance
        become dependencies; `serialisable` includes the method in `dump_cache`; `maxsize`
        keeps at most that many of the method's values on each instance (None: unbounded,
        0: none).

        Returns:
            A decorator to apply to the method.
        Raises:
            TypeError: an option is not a `bool` (NumPy booleans are accepted),
                `dependencies` is not a `list`, or a dependency's name is not a `str` or
                its arguments not a `dict`.
            TypeError: `maxsize` is neither None nor an `int` (a `bool` is refused).
            ValueError: a dependency is neither a `str` nor a `(str, dict)` pair, or
                `maxsize` is negative.
        """

    def __call__(
        self, func: Callable[Concatenate[_S, _P], _R], /
    ) -> KestrineDecorator[_S, _P, _R]:
        """Apply the decorator to a method.

        Returns:
            The memoised method, a `KestrineDecorator`.
        Raises:
            TypeError: `func` is a generator, coroutine or asynchronous generator function,
                its `__name__` is not a `str`, or a declared dependency's arguments have a
                name that is not a `str` or an unhashable value.
            AttributeError: `func` has no `__name__`.
            ValueError: `serialisable=True` and `func` takes more than `self`.
        """

@final
class automagically_kestrined:
    """Decorator factory like `kestrined`, tracking runtime dependencies by default.

    With `dependencies` left at None, the dependencies are the `self.<name>()`
    calls found in the method's source.
    """

    def __new__(
        cls,
        use_cache: bool = True,
        dependencies: list[_Dependency] | None = None,
        track_runtime_dependencies: bool = True,
        serialisable: bool = False,
        maxsize: int | None = None,
    ) -> Self:
        """The decorator, `@automagically_kestrined(...)`; options as for `kestrined`.

        Returns:
            A decorator to apply to the method.
        Raises:
            TypeError: as for `kestrined`.
            ValueError: as for `kestrined`.
        """

    def __call__(
        self, func: Callable[Concatenate[_S, _P], _R], /
    ) -> KestrineDecorator[_S, _P, _R]:
        """Apply the decorator to a method, reading its source when `dependencies` is None.

        Returns:
            The memoised method, a `KestrineDecorator`.
        Raises:
            OSError: `dependencies` is None and the function has no source (made by
                `exec`, or at the interactive prompt).
            ValueError: its source cannot be parsed (`"Failed to parse source: ..."`), or
                as for `kestrined`.
            TypeError: as for `kestrined`.
            AttributeError: as for `kestrined`.
        """
