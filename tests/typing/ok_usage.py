"""Use of the whole public surface that `mypy --strict` must accept, for the oldest Python
version a checker may target as well as the current one.

It also runs as a script, so every line here is valid at run time too.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Literal, Union

from kestrine import KestrineBase, automagically_kestrined, kestrined

if sys.version_info >= (3, 11):
    from typing import assert_type
else:
    from typing_extensions import assert_type

if TYPE_CHECKING:
    from kestrine import KestrineDecorator

Call = Union[str, tuple[str, tuple[tuple[str, Any], ...]]]
State = Literal["valid", "invalid", "permanently invalid"]

shared = kestrined(True, None, False, False)


class Shapes(KestrineBase):
    def __init__(self, scale: int) -> None:
        self.scale = scale

    @kestrined()
    def side(self) -> int:
        return self.scale

    @kestrined(dependencies=["side"], track_runtime_dependencies=True)
    def area(self, width: int, height: int = 2) -> int:
        return width * height * self.side()

    @kestrined(dependencies=[("area", {"width": 1, "height": 2})])
    def double(self) -> int:
        return 2 * self.area(1)

    @kestrined(use_cache=False)
    def spread(self, *values: float) -> tuple[float, ...]:
        return tuple(v * self.scale for v in values)

    @automagically_kestrined(serialisable=True)
    def label(self) -> str:
        return f"side {self.side()}"

    @automagically_kestrined(dependencies=[], track_runtime_dependencies=False)
    def nothing(self) -> None:
        return None

    @shared
    def first(self) -> int:
        return 1

    @shared
    def second(self) -> str:
        return "2"


def main() -> None:
    s = Shapes(3)

    # Through an instance: the method's own signature without `self`.
    assert_type(s.area(1), int)
    assert_type(s.area(width=1, height=4), int)
    assert_type(s.spread(1.0, 2), tuple[float, ...])
    assert_type(s.label(), str)
    assert_type(s.double(), int)
    assert_type(s.nothing(), None)
    assert_type(s.first(), int)
    assert_type(s.second(), str)
    bound: Callable[[int, int], int] = s.area
    assert bound(1, 2) == 6

    # Through the class: the descriptor, called with the instance first.
    descriptor: KestrineDecorator[Shapes, [int, int], int] = Shapes.area
    assert_type(Shapes.area(s, 2, height=2), int)
    assert descriptor is Shapes.area
    wider: KestrineDecorator[Shapes, [int, int], object] = Shapes.area
    assert wider is descriptor

    # Queries and mutation.
    assert_type(s.get_cached_value("area", width=1, height=2), Any)
    assert s.get_cached_value("side", strict=False) == 3
    assert_type(s.is_cached("side"), bool)
    assert_type(s.update_cached_value("side", 4), None)
    assert_type(s.clear_cached_value("area", width=1, height=2), None)

    # Inspection.
    values = s.cached_values
    assert_type(values, dict[Call, Any])
    graph = s.dependency_graph
    assert_type(graph, dict[Call, set[Call]])
    states = s.validation_state
    assert_type(states, dict[Call, State])
    for call, state in states.items():
        name = call if isinstance(call, str) else call[0]
        assert name in {"side", "area", "double", "spread", "label", "nothing", "first", "second"}
        assert state in ("valid", "invalid", "permanently invalid")
    assert graph[("area", (("height", 2), ("width", 1)))] >= {"double"}

    # Dump and load.
    dumped = s.dump_cache(order=["label"])
    assert_type(dumped, dict[str, Any])
    other = Shapes(3)
    assert_type(other.load_cache(dumped, order=("label",)), None)
    other.load_cache(data={"label": "loaded"})
    assert other.get_cached_value("label") == "loaded"
    assert_type(s.clear_cache(), None)
    assert s.cached_values == {}


if __name__ == "__main__":
    main()
