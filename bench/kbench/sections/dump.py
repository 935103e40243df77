"""dump_cache / load_cache of 100 serialisable methods."""

from __future__ import annotations

from typing import Any

from kestrine import KestrineBase, kestrined

from ..config import Config
from ..timing import per_op, row


def make_dump_class(count: int = 100):
    src = "".join(f"def m{i:03d}(self):\n    return {i}\n\n" for i in range(count))
    namespace: dict = {}
    exec(compile(src, "<generated serialisable methods>", "exec"), namespace)
    attrs: dict[str, Any] = {
        name: kestrined(serialisable=True)(fn)
        for name, fn in namespace.items()
        if name.startswith("m") and callable(fn)
    }
    return type("Dump", (KestrineBase,), attrs)


def section_dump(cfg: Config) -> dict:
    methods = 100
    Dump = make_dump_class(methods)
    obj = Dump()
    data = obj.dump_cache()
    if len(data) != methods or data.get("m007") != 7:
        raise RuntimeError(f"dump_cache returned an unexpected dict of {len(data)} entries")
    target = Dump()
    target.load_cache(data)

    def per_method(expr, subject, calls):
        pair = per_op(expr, subject, calls, cfg)
        return {state: ns / methods for state, ns in pair.items()}

    rows = [
        row("dump_cache(), per method", "kestrine", per_method("obj.dump_cache()", obj,
                                                               cfg.dump_calls)),
        row("load_cache(data), per method", "kestrine",
            per_method("obj[0].load_cache(obj[1])", (target, data), cfg.load_calls)),
    ]
    if target.get_cached_value("m042") != 42:
        raise RuntimeError("load_cache did not leave the loaded value in the cache")
    return {"methods": methods, "rows": rows}
