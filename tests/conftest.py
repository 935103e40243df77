"""Helpers shared by the test modules (imported as `from conftest import ...`)."""

import os
import subprocess
import sys
import textwrap
from collections import Counter

import pytest

from kestrine import KestrineBase

try:
    import numpy
except ImportError:  # an interpreter without a numpy build (the 3.14-era snapshot)
    numpy = None

needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed here")


def raises_exactly(exc, message, fn, /, *args, **kwargs):
    """Calls fn, expects exc with exactly this text, returns the exception."""
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value


def run_python(code):
    """Runs `code` in a fresh interpreter (a crash fails the test, not the run); its stdout."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


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
