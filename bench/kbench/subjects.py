"""The classes under test that several sections share, and the optional peers."""

from __future__ import annotations

import functools

from kestrine import KestrineBase, kestrined


def optional_import(name):
    try:
        return __import__(name)
    except Exception:  # any failure to import means: skip this peer
        return None


cachetools = optional_import("cachetools")
methodtools = optional_import("methodtools")


class KArea(KestrineBase):
    @kestrined()
    def area(self, width, height=2):
        return width * height

    @kestrined()
    def total(self):
        return 42


def lru_area_class(maxsize):
    """area()/total() memoised with functools.lru_cache(maxsize=maxsize)."""

    class LruArea:
        @functools.lru_cache(maxsize=maxsize)
        def area(self, width, height=2):
            return width * height

        @functools.lru_cache(maxsize=maxsize)
        def total(self):
            return 42

    return LruArea


LruArea = lru_area_class(None)


class CachedPropTotal:
    @functools.cached_property
    def total(self):
        return 42


class PlainArea:
    def area(self, width, height=2):
        return width * height

    def total(self):
        return 42


# One memoised method f(i) -> 0 per implementation, for fills and memory. entries() counts
# what the cache holds (read after the measurement).


class Fill(KestrineBase):
    @kestrined()
    def f(self, i):
        return 0

    def entries(self):
        return len(self.validation_state)


class LruFill:
    @functools.lru_cache(maxsize=None)
    def f(self, i):
        return 0

    def entries(self):
        return type(self).f.cache_info().currsize


MISSING = object()


class DictFill:
    """The hand-written memo: a dict per instance keyed by the argument tuple."""

    def __init__(self):
        self.memo = {}

    def f(self, i):
        key = (i,)
        value = self.memo.get(key, MISSING)
        if value is MISSING:
            value = self.memo[key] = 0
        return value

    def entries(self):
        return len(self.memo)


if cachetools is not None:

    class CtArea:
        def __init__(self):
            self.area_cache = {}
            self.total_cache = {}
            self.miss_cache = {}

        @cachetools.cachedmethod(lambda self: self.area_cache)
        def area(self, width, height=2):
            return width * height

        @cachetools.cachedmethod(lambda self: self.total_cache)
        def total(self):
            return 42

        @cachetools.cachedmethod(lambda self: self.miss_cache)
        def miss(self, i):
            return 0

    class CtFill:
        def __init__(self):
            self.cache = {}

        @cachetools.cachedmethod(lambda self: self.cache)
        def f(self, i):
            return 0

        def entries(self):
            return len(self.cache)


if methodtools is not None:

    class MtArea:
        @methodtools.lru_cache(maxsize=None)
        def area(self, width, height=2):
            return width * height

        @methodtools.lru_cache(maxsize=None)
        def total(self):
            return 42


class KInstance(KestrineBase):
    """A class with a memoised method whose instances never call it."""

    @kestrined()
    def value(self):
        return 1


def stores_instance_class():
    """KInstance declared with specialised_stores=True; None on a build without the class
    keyword (its __init_subclass__ refuses it with TypeError)."""
    try:

        class KStoresInstance(KestrineBase, specialised_stores=True):
            @kestrined()
            def value(self):
                return 1

    except TypeError:
        return None
    return KStoresInstance


KStoresInstance = stores_instance_class()


class PlainInstance:
    def value(self):
        return 1


FILL_IMPLS = [("kestrine", Fill), ("functools.lru_cache", LruFill)]
if cachetools is not None:
    FILL_IMPLS.append(("cachetools.cachedmethod", CtFill))
FILL_IMPLS.append(("dict memo", DictFill))
INSTANCE_IMPLS = [("KestrineBase subclass", KInstance), ("plain class", PlainInstance)]
