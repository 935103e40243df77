"""Live nodes and RSS over rounds of a program that builds, infers and drops trees."""

from __future__ import annotations

import functools
import gc

from kestrine import KestrineBase, kestrined

from ..config import Config, run_child
from .memory import rss_bytes

# A long-running program in rounds, as an inference library runs: each round builds a tree
# of nodes whose memoised methods call each other with a per-round context object (hashed
# by identity, recording the nodes it passed), clears every cache, and drops the tree. A
# second workload keeps one long-lived resolver that is called with each round's new nodes
# and contexts. Memory lost per round shows as live nodes and RSS that grow.


class Context:
    def __init__(self):
        self.path = []


def make_tree_class(decorate, bases):
    class Node(*bases):
        def __init__(self, parent=None, fanout=0, depth=0):
            self.parent = parent
            self.children = [Node(self, fanout, depth - 1) for _ in range(fanout)] if depth else []

        @decorate
        def infer(self, ctx):
            ctx.path.append(self)
            return sum(child.infer(ctx) for child in self.children) + 1

        @decorate
        def scope(self):  # a value that refers to an ancestor
            return self.parent.scope() if self.parent else self

        def walk(self):
            yield self
            for child in self.children:
                yield from child.walk()

    return Node


def make_resolver(decorate, bases):
    class Resolver(*bases):
        @decorate
        def resolve(self, node, ctx):
            ctx.path.append(node)
            return node.parent is None

    return Resolver


def rounds_child(impl: str, rounds: int) -> dict:
    """One workload in a fresh process; live nodes and RSS after each round's collection."""
    import weakref

    if "kestrine" in impl:
        bases: tuple = (KestrineBase,)
        decorate = kestrined()
        clear = KestrineBase.reset_cache if "reset" in impl else KestrineBase.clear_cache
    else:
        bases = ()
        decorate = functools.lru_cache(maxsize=None)
        clear = None
    Node = make_tree_class(decorate, bases)
    live = weakref.WeakSet()
    counts, rss = [], []
    resolver = make_resolver(decorate, bases)() if "resolver" in impl else None
    for _ in range(rounds):
        root = Node(None, 10, 4)  # 11,111 nodes
        nodes = list(root.walk())
        live.update(nodes)
        ctx = Context()
        if resolver is None:
            root.infer(ctx)
            for node in nodes:
                node.scope()
            if clear is None:
                Node.infer.cache_clear()
                Node.scope.cache_clear()
            else:
                for node in nodes:
                    clear(node)
        else:
            for node in nodes:
                resolver.resolve(node, ctx)
            if clear is None:
                type(resolver).resolve.cache_clear()
            else:
                clear(resolver)
        del root, nodes, ctx, node
        gc.collect()
        counts.append(len(live))
        rss.append(rss_bytes())
    return {"impl": impl, "live_nodes": counts, "rss_mb": [r / 2**20 for r in rss]}


ROUND_IMPLS = ["functools.lru_cache + cache_clear", "kestrine + clear_cache",
               "resolver: functools.lru_cache + cache_clear", "resolver: kestrine + clear_cache",
               "resolver: kestrine + reset_cache"]


def section_rounds(cfg: Config) -> dict:
    rounds = 3 if cfg.quick else 6
    out = []
    for impl in ROUND_IMPLS:
        if "reset_cache" in impl and not hasattr(KestrineBase, "reset_cache"):
            continue  # a build from before reset_cache existed
        out.append(run_child("rounds-child", impl, str(rounds)))
    return {"rounds": rounds, "nodes_per_round": 11_111, "rows": out}
