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
    def hits(self) -> int: ...
    @property
    def misses(self) -> int: ...
    @property
    def maxsize(self) -> int | None: ...
    @property
    def currsize(self) -> int: ...
    if sys.version_info >= (3, 13):
        def __replace__(self, **changes: Any) -> CacheInfo: ...

# Instances carry their cache in their own layout: no other such base can be mixed in.
@disjoint_base
class KestrineBase:
    """Base class of every class with memoised methods; each instance owns its cache."""

    def __new__(cls, *_args: Any, **_kwargs: Any) -> Self: ...

    # Queries address one call by method name and the call's bound arguments
    # (defaults included) given as keywords.
    def get_cached_value(self, method_name: str, strict: bool = True, **kwargs: Any) -> Any:
        """The stored value; None when `strict` is false and no value is servable.

        `strict` also accepts a NumPy boolean scalar.
        """

    def is_cached(self, method_name: str, **kwargs: Any) -> bool: ...
    def update_cached_value(self, method_name: str, value: Any, **kwargs: Any) -> None: ...
    def clear_cache(self) -> None: ...
    def reset_cache(self) -> None: ...
    def clear_cached_value(self, method_name: str, **kwargs: Any) -> None: ...
    @property
    def cached_values(self) -> dict[_Call, Any]: ...
    @property
    def dependency_graph(self) -> dict[_Call, set[_Call]]:
        """Each call mapped to the calls that depend on it directly."""

    @property
    def validation_state(self) -> dict[_Call, _State]: ...
    # `order` is a sequence of method names; a bare `str` is refused at run time.
    def dump_cache(self, order: Sequence[str] | None = None) -> dict[str, Any]: ...
    def load_cache(self, data: dict[str, Any], order: Sequence[str] | None = None) -> None: ...
    def set_maxsize(self, method_name: str, maxsize: int | None) -> None:
        """Bound one decorated method's stored values on this instance (None: unbounded).

        Overrides the decorator's `maxsize`; values beyond the bound are evicted at once.
        """

    def cache_info(self, method_name: str) -> CacheInfo:
        """Hits, misses, bound in force and stored values of one decorated method here."""

@final
class KestrineDecorator(Generic[_S_contra, _P, _R_co]):
    """A memoised method, as held by its class.

    Not a module attribute at run time: it is the type of a decorated method's
    descriptor, `type(Class.__dict__[name])`. Through the class it is the
    descriptor itself (call it with the instance first); through an instance it
    is a bound callable with the method's parameters after `self`.
    """

    @overload
    def __get__(self, instance: None, owner: type[Any] | None = None, /) -> Self: ...
    @overload
    def __get__(
        self, instance: _S_contra, owner: type[Any] | None = None, /
    ) -> Callable[_P, _R_co]: ...
    # Assignment through an instance always raises TypeError, so no value fits.
    def __set__(self, instance: Any, value: Never, /) -> NoReturn: ...
    def __delete__(self, instance: Any, /) -> NoReturn: ...
    # Refuses (TypeError) another decorated method reachable from `owner` under another name
    # that wraps a different function of the same __name__.
    def __set_name__(self, owner: type[Any], name: str) -> None: ...
    def __call__(self, instance: _S_contra, /, *args: _P.args, **kwargs: _P.kwargs) -> _R_co: ...
    def cache_clear(self) -> None:
        """Forget this method's calls on every live instance it ran on."""

    def cache_info(self) -> CacheInfo:
        """This method's counts on every live instance it ran on, added up."""

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
    ) -> Self: ...
    def __call__(
        self, func: Callable[Concatenate[_S, _P], _R], /
    ) -> KestrineDecorator[_S, _P, _R]: ...

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
    ) -> Self: ...
    def __call__(
        self, func: Callable[Concatenate[_S, _P], _R], /
    ) -> KestrineDecorator[_S, _P, _R]: ...
