"""Result documents: the run's interpreter and revision, merging result files, the JSON writer."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

from .config import BENCH_DIR, RESULTS
from .sections import SECTIONS


def git_revision() -> str | None:
    try:
        rev = subprocess.run(["git", "-C", str(BENCH_DIR), "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, timeout=10)
        # The pathspec from the top of the tree: a bare "src" would name bench/src.
        dirty = subprocess.run(["git", "-C", str(BENCH_DIR), "status", "--porcelain", "--",
                                ":(top)src"], capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.SubprocessError):
        return None
    if rev.returncode != 0:
        return None
    return rev.stdout.strip() + ("+dirty-src" if dirty.stdout.strip() else "")


def merged_results(paths) -> dict:
    doc: dict = {}
    for path in paths or [RESULTS / "latest.json"]:
        loaded = json.loads(Path(path).read_text())
        doc.update({k: v for k, v in loaded.items() if k in SECTIONS or k == "info"})
    return doc


def interpreter_id() -> tuple[str, str]:
    """(short id for file names, description) of the running interpreter. The 3.14-era
    snapshot lives in a prefix named cpython-<version>-snapshot[-unpatched]."""
    version = sys.version.split()[0]
    prefix = Path(sys.base_prefix).name
    if prefix.endswith("-snapshot-unpatched"):
        return "snapshot-unpatched", f"CPython {version} snapshot (3.14-era), without the patch"
    if prefix.endswith("-snapshot"):
        return "snapshot", f"CPython {version} snapshot (3.14-era) + stack-reference patch"
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    return "default", f"CPython {version}{'' if gil else ' free-threaded'}"


def write_results(document: dict, complete: bool, quick: bool) -> None:
    parts = [document["timestamp_utc"]]
    interpreter = document["info"]["interpreter_id"]
    if interpreter != "default":
        parts.append(interpreter)
    if not complete:
        parts.append("+".join(document["info"]["sections"]))
    if quick:
        parts.append("quick")
    paths = [RESULTS / f"{'-'.join(parts)}.json"]
    if complete:
        paths.append(RESULTS / ("latest.json" if interpreter == "default"
                                else f"latest-{interpreter}.json"))
    RESULTS.mkdir(exist_ok=True)
    text = json.dumps(document, indent=2) + "\n"
    for path in paths:
        tmp = path.with_suffix(".json.tmp")
        tmp.write_text(text)
        tmp.replace(path)
    print("results written to " + " and ".join(str(p.relative_to(BENCH_DIR.parent)) for p in paths))
