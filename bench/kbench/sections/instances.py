"""What an instance that never memoises costs: creation time, fixed size, RSS."""

from __future__ import annotations

from kestrine import KestrineBase

from ..config import Config
from ..subjects import INSTANCE_IMPLS
from ..timing import per_op, row
from .memory import memory_run


def section_instances(cfg: Config) -> dict:
    """What an instance that never memoises costs: creation time, fixed size, RSS."""
    create = [row("create an instance", label, per_op("obj()", cls, cfg.create_calls, cfg),
                  calls=cfg.create_calls) for label, cls in INSTANCE_IMPLS]
    return {
        "basicsize": {"KestrineBase": KestrineBase.__basicsize__,
                      "object": object.__basicsize__},
        "rows": create,
        "rss": [memory_run(label, cfg.instance_count) for label, _ in INSTANCE_IMPLS],
    }
