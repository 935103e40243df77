"""The performance page's charts, drawn from benchmark results (matplotlib, SVG).

    figures.py [--collect RESULTS] [--check]

--collect RESULTS: take the newest full-count `hits` and `threads` sections of each
interpreter from the result files in RESULTS (bench/results/, written by `make bench`) and
keep them, with the run's description, in docs/data/bench/<interpreter>.json, the data the
committed charts are drawn from. Without it the charts are drawn from the kept data alone.

Draws docs/pages/assets/perf/hits.svg (the cost of one hit in one thread, against the peers,
per interpreter) and threads.svg (the throughput of two threads on their own instances and
on one shared instance, against the plain method and the peers). Each names its
interpreters, the machine's core count and the day of the run. The SVGs are the same for the
same data, so they can be checked in: --check draws them into a scratch folder and fails if
they differ from the committed ones.
"""

from __future__ import annotations

import argparse
import filecmp
import json
import sys
import tempfile
from pathlib import Path

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt  # noqa: E402

DOCS = Path(__file__).resolve().parent
DATA = DOCS / "data" / "bench"
OUT = DOCS / "pages" / "assets" / "perf"
SECTIONS = ("hits", "threads")
ORDER = ("default", "snapshot", "snapshot-unpatched")
COLOURS = {"default": "#4c72b0", "snapshot": "#dd8452", "snapshot-unpatched": "#8c8c8c"}
HIT_CASES = ("hit obj.area(3)", "hit obj.total()")

plt.rcParams.update({
    "svg.hashsalt": "kestrine",  # stable element ids: the same data gives the same file
    "svg.fonttype": "path",  # text as paths: no font needed where the SVG is shown
    "font.size": 9,
    "axes.spines.top": False,
    "axes.spines.right": False,
})


def collect(results: Path) -> None:
    """Newest full-count hits and threads sections per interpreter into DATA."""
    newest: dict[str, dict] = {}
    for path in sorted(results.glob("*.json")):
        if path.name.startswith("latest"):
            continue  # copies of timestamped files
        doc = json.loads(path.read_text())
        info = doc.get("info", {})
        if info.get("mode") != "full":
            continue
        kept = newest.setdefault(info["interpreter_id"], {})
        for section in SECTIONS:
            if section in doc and doc["timestamp_utc"] >= kept.get(section, {}).get("timestamp_utc", ""):
                kept[section] = {"timestamp_utc": doc["timestamp_utc"], "info": info,
                                 "result": doc[section]}
    DATA.mkdir(parents=True, exist_ok=True)
    for interpreter, sections in newest.items():
        path = DATA / f"{interpreter}.json"
        kept = json.loads(path.read_text()) if path.exists() else {}
        kept.update(sections)
        path.write_text(json.dumps(kept, indent=1, sort_keys=True) + "\n")
        print(f"{path.relative_to(DOCS.parent)}: " + ", ".join(
            f"{s} of {v['timestamp_utc']}" for s, v in sorted(kept.items())))


def load() -> list[tuple[str, dict]]:
    found = {p.stem: json.loads(p.read_text()) for p in DATA.glob("*.json")}
    if not found:
        sys.exit(f"no benchmark data in {DATA}: run `make bench` and `make docs-figures`")
    return [(k, found[k]) for k in sorted(found, key=lambda k: (ORDER + (k,)).index(k))]


def label(run: dict) -> str:
    """An interpreter's legend entry: what it is, the machine's cores, the run's day."""
    info, stamp = run["info"], run["timestamp_utc"]
    return (f"{info['interpreter']}\n{info['cpus']} CPUs, {info['machine']}, "
            f"{stamp[:4]}-{stamp[4:6]}-{stamp[6:8]}, revision {info['revision']}")


def hits_figure(data: list[tuple[str, dict]], path: Path) -> None:
    runs = [(k, d["hits"]) for k, d in data if "hits" in d]
    fig, axes = plt.subplots(len(HIT_CASES), 1, figsize=(7.6, 8), sharex=True)
    for ax, case in zip(axes, HIT_CASES):
        impls = [r["impl"] for r in runs[0][1]["result"]["rows"] if r["case"] == case]
        height = 0.8 / len(runs)
        for i, (key, run) in enumerate(runs):
            ns = {r["impl"]: r["ns"]["gc_on"] for r in run["result"]["rows"] if r["case"] == case}
            ys = [y + i * height for y in range(len(impls))]
            values = [ns.get(impl, 0) for impl in impls]
            bars = ax.barh(ys, values, height=height, color=COLOURS.get(key, "#55a868"),
                           label=label(run))
            ax.bar_label(bars, labels=[f"{v:,.0f}" for v in values], padding=2, fontsize=7)
        ax.set_yticks([y + height * (len(runs) - 1) / 2 for y in range(len(impls))], impls)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlim(10, 300_000)
        ax.set_title(case.replace("hit ", "a hit of "), loc="left", fontsize=10)

    axes[-1].set_xlabel("ns per call, log scale (shorter is faster)")
    fig.suptitle("The cost of a cache hit in one thread, kestrine against its peers", x=0.01,
                 ha="left", fontsize=11)
    fig.legend(*axes[0].get_legend_handles_labels(), loc="lower center", ncol=len(runs),
               fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    save(fig, path)


def threads_figure(data: list[tuple[str, dict]], path: Path) -> None:
    runs = [(k, d["threads"]) for k, d in data if "threads" in d]
    fig, axes = plt.subplots(len(runs), 1, figsize=(7.6, 4 * len(runs)), sharex=True,
                             squeeze=False)
    for ax, (key, run) in zip(axes[:, 0], runs):
        rows = [r for r in run["result"]["rows"] if r["threads"] == 2]
        impls = list(dict.fromkeys(r["impl"] for r in rows))
        for offset, instances, colour in ((-0.2, "own", "#4c72b0"), (0.2, "shared", "#dd8452")):
            ratio = {r["impl"]: r["gc_on"]["throughput_ratio"] for r in rows
                     if r["instances"] == instances}
            ys = [y + offset for y, impl in enumerate(impls) if impl in ratio]
            values = [ratio[impl] for impl in impls if impl in ratio]
            bars = ax.barh(ys, values, height=0.38, color=colour,
                           label=f"{instances} instance{'s' if instances == 'own' else ''}"
                                 f"{' (each thread its own)' if instances == 'own' else ' (one, warm)'}")
            ax.bar_label(bars, labels=[f"{v:.2f}" for v in values], padding=2, fontsize=7)
        ax.set_yticks(range(len(impls)), impls)
        ax.set_ylim(len(impls) - 0.5, -0.5)  # first row on top
        ax.axvline(2.0, color="#2ca02c", linestyle="--", linewidth=1)
        ax.axvline(1.0, color="#999999", linestyle=":", linewidth=1)
        ax.set_xlim(0, 2.4)
        ax.set_title(label(run), loc="left", fontsize=8.5)
    axes[-1, 0].set_xlabel("calls per second of 2 threads ÷ of 1 thread\n"
                           "(2.0 ideal, dashed; 1.0 no gain, dotted)")
    fig.suptitle("Two threads doing the same calls at once, against one thread", x=0.01,
                 ha="left", fontsize=11)
    fig.legend(*axes[0, 0].get_legend_handles_labels(), loc="lower center", ncol=2, fontsize=8,
               frameon=False)
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    save(fig, path)


def save(fig, path: Path) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, format="svg", bbox_inches="tight", metadata={"Date": None, "Creator": None})
    plt.close(fig)


def draw(out: Path) -> list[Path]:
    data = load()
    paths = [out / "hits.svg", out / "threads.svg"]
    hits_figure(data, paths[0])
    threads_figure(data, paths[1])
    return paths


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--collect", type=Path, metavar="RESULTS",
                        help="keep the newest hits and threads results found there first")
    parser.add_argument("--check", action="store_true",
                        help="fail if the committed charts differ from those the data gives")
    args = parser.parse_args()
    if args.collect:
        collect(args.collect)
    if args.check:
        with tempfile.TemporaryDirectory() as scratch:
            stale = [p.name for p in draw(Path(scratch))
                     if not (OUT / p.name).exists() or not filecmp.cmp(p, OUT / p.name, shallow=False)]
        if stale:
            print(f"docs/pages/assets/perf/{', '.join(stale)} differ from what docs/data/bench/ "
                  "gives: run `make docs-figures` and commit the result", file=sys.stderr)
            return 1
        return 0
    for path in draw(OUT):
        print(f"drew {path.relative_to(DOCS.parent)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
