"""The benchmark sections, each a module whose function returns a JSON-ready dict.

  hits       ns per hit of obj.area(3) and obj.total() against each peer
  misses     ns per miss, a fresh key each call, on a method with two declared dependencies
  dump       dump_cache / load_cache of 100 serialisable methods
  instances  instance creation time, __basicsize__, RSS per instance that never memoises
  fills      ns per miss in each 50k-call chunk of a 400k-call fill of one instance
  clear      clear_cached_value of a root with N run-time dependents, for two sizes of N
  threads    CPU-time inflation and throughput of 1, 2 and os.cpu_count() threads
  memory     bytes per entry at 1,000,000 entries (RSS delta, a fresh process each)
  rounds     live nodes and RSS over rounds of a program that builds, infers and drops trees
  bounds     maxsize: bounded hits and evicting misses against lru_cache, a Zipf trace's hit
             ratio, memory under a bound, reset_cache amid calls, an instance's first call and
             end against a baseline build (--baseline), the class-wide calls, 2 threads on a
             shared bounded instance
  objects    100,000 nodes built by an __init__ of 5 attribute stores, then a memoised value()
             called 10 times each: ns per node building and calling against a plain class and
             the functools peers; each node's size, allocated blocks and RSS

A new section is a module here with its function registered in SECTION_RUNS.
"""

from __future__ import annotations

from . import (bounds, clear, dump, fills, hits, instances, memory, misses, objects, rounds,
               threads)

# Every section by name, in the order a run takes them.
SECTION_RUNS = {
    "hits": hits.section_hits,
    "misses": misses.section_misses,
    "dump": dump.section_dump,
    "instances": instances.section_instances,
    "fills": fills.section_fills,
    "clear": clear.section_clear,
    "threads": threads.section_threads,
    "memory": memory.section_memory,
    "rounds": rounds.section_rounds,
    "bounds": bounds.section_bounds,
    "objects": objects.section_objects,
}
SECTIONS = tuple(SECTION_RUNS)


def parse_sections(values) -> list:
    names = [n.strip() for v in values or [] for n in v.split(",") if n.strip()]
    unknown = sorted(set(names) - set(SECTIONS))
    if unknown:
        raise SystemExit(f"unknown section(s) {', '.join(unknown)}; "
                         f"choose from {', '.join(SECTIONS)}")
    return [n for n in SECTIONS if n in names] if names else list(SECTIONS)
