"""Misuse the type checker must reject: every line marked `# E: <code>` must get an error
with that code, and no other line may get one. Not meant to run."""

from kestrine import KestrineBase, KestrineDecorator, kestrined


class Shapes(KestrineBase):
    @kestrined()
    def area(self, width: int, height: int = 2) -> int:
        return width * height

    @kestrined  # E: arg-type
    def bare(self) -> int:
        return 0


class Plain:
    @kestrined()  # E: type-var
    def area(self) -> int:
        return 0


s = Shapes()
s.area("3")  # E: arg-type
s.area(3, depth=1)  # E: call-arg
s.area()  # E: call-arg
Shapes.area(s, "3")  # E: arg-type
Shapes.area(3)  # E: arg-type, call-arg
label: str = s.area(3)  # E: assignment
any_base: KestrineDecorator[KestrineBase, [int, int], int] = Shapes.area  # E: assignment
s.area = Shapes.area  # E: assignment
s.cached_values = {}  # E: misc
s.is_cached(1)  # E: arg-type
s.get_cached_value("area", strict=1)  # E: arg-type
s.load_cache([("area", 1)])  # E: arg-type
s.dump_cache(order=[1])  # E: list-item
kestrined(use_cache=1)  # E: arg-type
kestrined(dependencies=("area",))  # E: arg-type
kestrined(dependencies=[("area", 1)])  # E: list-item
kestrined(foo=True)  # E: call-arg
