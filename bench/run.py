"""Benchmarks of kestrine against the usual memoisation peers, on one interpreter.

Run through `make bench`: `BENCH_ARGS=--quick` is a smoke run with small counts,
`BENCH_ARGS="--section threads"` runs one section alone (repeatable, or comma-separated).
The sections, and what each measures, are listed in kbench/sections/__init__.py; the
measurements live in the kbench package beside this script.

Every figure is taken with the cyclic garbage collector enabled, as programs run; the same
measurement with the collector disabled is recorded beside it as gc_off (with fewer
repeats). A single-thread timing is the best of several repeats of a fixed number of
operations (perf_counter_ns). Hit loops are generated with the call written ten times per
iteration, so loop overhead is a small part of a hit.

Prints the tables with PASS/MISS markers against the project's targets (markers only:
nothing here fails on a miss) and writes everything as JSON to bench/results/<UTC time>.json;
a run of every section also to bench/results/latest.json. `--markdown [FILE ...]` prints the
README's performance tables from result files instead (default: latest.json; a later file's
sections replace an earlier one's, so a re-run of one section can be combined with a full run).
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from kbench.results import merged_results
from kbench.runner import run
from kbench.sections import SECTIONS, parse_sections
from kbench.sections.bounds import bounds_child
from kbench.sections.memory import memory_child
from kbench.sections.objects import objects_child
from kbench.sections.rounds import rounds_child
from kbench.tables import print_comparison, print_tables


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small counts, for a smoke run")
    parser.add_argument("--section", action="append", metavar="NAME",
                        help=f"run only these sections ({', '.join(SECTIONS)}); repeatable or "
                             "comma-separated")
    parser.add_argument("--markdown", nargs="*", metavar="FILE",
                        help="print the README tables from result files (default: latest.json)"
                             " and exit")
    parser.add_argument("--memory-child", nargs=2, metavar=("IMPL", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--rounds-child", nargs=2, metavar=("IMPL", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--bounds-child", nargs=2, metavar=("KIND", "JSON"), help=argparse.SUPPRESS)
    parser.add_argument("--objects-child", nargs=2, metavar=("VARIANT", "N"),
                        help=argparse.SUPPRESS)
    parser.add_argument("--baseline", metavar="REV|DIR",
                        help="bounds section: compare the instance figures with the module of "
                             "git revision REV (built once under /tmp) or the one built in DIR")
    parser.add_argument("--compare", nargs="+", metavar="FILE",
                        help="print a markdown table of the calls and thread figures of result "
                             "files side by side, one column per file (interpreter)")
    args = parser.parse_args()
    if args.memory_child:
        impl, count = args.memory_child
        print(json.dumps(memory_child(impl, int(count))))
        return 0
    if args.rounds_child:
        impl, count = args.rounds_child
        print(json.dumps(rounds_child(impl, int(count))))
        return 0
    if args.objects_child:
        variant, count = args.objects_child
        print(json.dumps(objects_child(variant, int(count))))
        return 0
    if args.bounds_child:
        print(json.dumps(bounds_child(*args.bounds_child)))
        return 0
    if args.markdown is not None:
        print_tables(merged_results(args.markdown), markdown=True)
        return 0
    if args.compare:
        print_comparison([json.loads(Path(p).read_text()) for p in args.compare])
        return 0
    return run(parse_sections(args.section), args.quick, args.baseline)


if __name__ == "__main__":
    sys.exit(main())
