"""Helpers shared by the test modules (imported as `from conftest import ...`)."""

from collections import Counter

import pytest

from kestrine import KestrineBase


def raises_exactly(exc, message, fn, /, *args, **kwargs):
    """Calls fn, expects exc with exactly this text, returns the exception."""
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value


def named(name, fn):
    fn.__name__ = name
    return fn


def make_class(**attrs):
    return type("C", (KestrineBase,), attrs)


class Collider:
    """Equal hashes for all; comparing with another Collider runs on_eq first."""

    def __init__(self, on_eq=lambda: None):
        self.on_eq = on_eq

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if other is not self:
            self.on_eq()
        return other is self


class Counting(KestrineBase):
    """Bodies report through ran(), so tests can count executions per method."""

    def __init__(self):
        self.runs = Counter()
        self.use_volatile = False

    def ran(self, name, value):
        self.runs[name] += 1
        return value
