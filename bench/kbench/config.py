"""What a run is configured with: its counts per measurement, and where its files are."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent.parent
RESULTS = BENCH_DIR / "results"
# The entry point, run again in a fresh process for the measurements that need one.
RUN_SCRIPT = BENCH_DIR / "run.py"


def run_child(flag: str, *args: str, env: dict | None = None) -> dict:
    """The JSON a fresh process of RUN_SCRIPT prints for `--<flag> ARGS...`; RuntimeError with
    the end of its stderr when it fails."""
    proc = subprocess.run([sys.executable, str(RUN_SCRIPT), f"--{flag}", *args],
                          capture_output=True, text=True, check=False, env=env)
    if proc.returncode != 0:
        raise RuntimeError(f"{flag} {' '.join(args)} failed: {proc.stderr.strip()[-2000:]}")
    return json.loads(proc.stdout)


class Config:
    """Counts per measurement. A (gc on, gc off) pair gives the repeats of each column."""

    def __init__(self, quick: bool, baseline: str | None = None):
        self.quick = quick
        scale = 10 if quick else 1
        self.repeats = (2, 1) if quick else (7, 3)
        # Calls per repeat, fixed per implementation so that one repeat takes tens of ms.
        self.hit_calls = 500_000 // scale  # kestrine, functools, plain method
        self.cachetools_calls = 100_000 // scale
        self.methodtools_calls = 50_000 // scale
        self.slow_calls = 10_000 // scale  # the inspect emulation
        self.create_calls = 200_000 // scale
        self.miss_calls = 100_000 // scale
        self.dump_calls = 500 // scale
        self.load_calls = 50 // scale
        self.fill_chunk = 50_000 // scale
        self.fill_chunks = 8
        self.fill_repeats = (1, 1) if quick else (3, 2)
        self.clear_sizes = (10_000, 100_000) if quick else (20_000, 200_000)
        self.clear_repeats = (1, 1) if quick else (3, 2)
        self.thread_calls = 1_500_000 // scale  # hits per thread per run
        self.thread_fills = 50_000 // scale  # misses per thread per run
        self.thread_rounds = 3 if quick else 5
        self.memory_entries = 1_000_000 // scale
        self.instance_count = 100_000 // scale
        self.object_count = 100_000 // scale  # nodes built, then called, per objects repeat
        # bounds: a Zipf trace replayed per repeat, calls with fresh arguments under a bound,
        # seconds of reset_cache amid calls, instances per registry repeat (batch × batches)
        # and the current/baseline children taken in turn; `baseline`: --baseline's REV or DIR
        self.zipf_calls = 1_000_000 // scale
        self.zipf_repeats = (1, 1) if quick else (3, 2)
        self.bound_memory_calls = 1_000_000 // scale
        self.reset_seconds = 0.3 if quick else 1.5
        self.registry_batch = 1000
        self.registry_batches = 100 // scale
        self.registry_repeats = (2, 1) if quick else (3, 2)
        # Builds compared across processes differ by a few percent from one child to the
        # next (layout, placement): five children per build make their best figures steadier.
        self.registry_rounds = 1 if quick else 5
        self.baseline = baseline
