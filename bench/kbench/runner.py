"""A measuring run: the selected sections, their tables and notes, and the result files."""

from __future__ import annotations

import datetime as dt
import os
import platform
import sys
from time import perf_counter_ns
from typing import Any

import kestrine

from .config import Config
from .results import git_revision, interpreter_id, write_results
from .sections import SECTION_RUNS, SECTIONS
from .subjects import cachetools, methodtools
from .tables import OVERLAP_WARN, print_tables
from .targets import targets
from .timing import GC_STATES


def run(sections: list, quick: bool, baseline: str | None = None) -> int:
    """Runs `sections` (names, in run order) with the counts of a quick or a full run."""
    cfg = Config(quick, baseline)
    run_started = perf_counter_ns()
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    peers = {
        "cachetools": getattr(cachetools, "__version__", "?") if cachetools else None,
        "methodtools": getattr(methodtools, "__version__", "?") if methodtools else None,
    }
    interpreter, described = interpreter_id()
    info: dict[str, Any] = {
        "interpreter_id": interpreter,
        "interpreter": described,
        "executable": sys.executable,
        "python": sys.version.split()[0],
        "implementation": sys.version,
        "gil_enabled": gil,
        "kestrine": getattr(kestrine, "__file__", "?"),
        "revision": git_revision(),
        "cpus": os.cpu_count(),
        "loadavg_at_start": list(os.getloadavg()),
        "machine": platform.machine(),
        "mode": "quick" if cfg.quick else "full",
        "sections": sections,
        "gc": "gc_on: the cyclic collector enabled, as programs run (the headline figure); "
              "gc_off: the same measurement with it disabled",
        "repeats": {"gc_on": cfg.repeats[0], "gc_off": cfg.repeats[1]},
        "peers": peers,
        "baseline": baseline,
    }
    print(f"kestrine benchmarks ({info['mode']}): {described}, "
          f"GIL {'ENABLED' if gil else 'disabled'}, {info['cpus']} CPUs, "
          f"load {' '.join(f'{x:.2f}' for x in info['loadavg_at_start'])}, "
          f"revision {info['revision']}")
    print(f"sections: {', '.join(sections)}; gc on = collector enabled (headline, best of "
          f"{cfg.repeats[0]}), gc off = disabled (best of {cfg.repeats[1]})")
    skipped = [name for name, version in peers.items() if version is None]
    if skipped:
        print(f"skipped peers (not importable): {', '.join(skipped)}")
    if gil and "threads" in sections:
        print("WARNING: the GIL is enabled; the thread figures mean nothing")
    print(flush=True)

    document: dict = {"info": info}
    elapsed_by_section = {}
    for name in sections:
        started = perf_counter_ns()
        document[name] = SECTION_RUNS[name](cfg)
        elapsed_by_section[name] = (perf_counter_ns() - started) / 1e9
        print(f"[{name}] {elapsed_by_section[name]:.1f} s", flush=True)
    print()

    print_tables(document, markdown=False)
    problems = [p for name in sections for p in document[name].get("problems", [])]
    for problem in problems:
        print(f"PROBLEM: {problem}")
    apart = [f"{r['impl']} ({r['threads']} threads, {r['instances']})"
             for r in document.get("threads", {}).get("rows", [])
             if min(r[s]["overlap"] for s in GC_STATES) < OVERLAP_WARN]
    if apart:
        print(f"note: threads overlapped for less than {OVERLAP_WARN:.0%} of their run (median) "
              f"in: {'; '.join(apart)}; their inflation says little")
    busy = info["loadavg_at_start"][0]
    if busy > (info["cpus"] or 1) - 0.5:
        print(f"note: load average {busy:.2f} on {info['cpus']} CPUs at the start: other work "
              f"competed for the cores (compare thread figures with the plain method's)")
    elapsed = (perf_counter_ns() - run_started) / 1e9
    info["loadavg_at_end"] = list(os.getloadavg())
    print(f"\nrun took {elapsed:.1f} s; load average at the end "
          f"{' '.join(f'{x:.2f}' for x in info['loadavg_at_end'])}")

    document.update({
        "timestamp_utc": dt.datetime.now(dt.timezone.utc).strftime("%Y%m%dT%H%M%SZ"),
        "elapsed_s": elapsed,
        "elapsed_s_by_section": elapsed_by_section,
        "targets": targets(document),
        "problems": problems,
    })
    write_results(document, complete=sections == list(SECTIONS), quick=cfg.quick)
    return 0
