"""The type stub stubs/kestrine.pyi: checked against the built module (stubtest) and
against usage that mypy must accept (typing/ok_usage.py) or reject (typing/bad_usage.py),
for the oldest Python version a project may target and for the running one; pyright too
when it is installed. The checks skip when their checker is missing (`make typecheck`
installs them)."""

import ast
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kestrine

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "kestrine.pyi"
TYPING = Path(__file__).resolve().parent / "typing"
OK, BAD = TYPING / "ok_usage.py", TYPING / "bad_usage.py"

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
# Targets: the oldest version the stub must parse for, and the running one.
TARGETS = ["3.9", f"{sys.version_info.major}.{sys.version_info.minor}"]


def python(*args, cwd=ROOT, **env):
    environ = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"} | env
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=environ, timeout=600)


def marked_errors():
    """{(line, code), ...} of the `# E: <code>` marks in the rejected usage."""
    expected = set()
    for number, text in enumerate(BAD.read_text().splitlines(), 1):
        if m := re.search(r"# E: ([a-z, -]+)$", text):
            expected |= {(number, code.strip()) for code in m[1].split(",")}
    return expected


@pytest.fixture(scope="module", params=TARGETS)
def mypy_errors(request, tmp_path_factory):
    """{file name: {(line, code), ...}} of one `mypy --strict` run over both usage files."""
    cache = tmp_path_factory.mktemp("mypy-cache")
    proc = python("-m", "mypy", "--strict", "--python-version", request.param, "--cache-dir", cache,
                  OK, BAD, MYPYPATH=str(STUB.parent))
    errors = {OK.name: set(), BAD.name: set()}
    for line in proc.stdout.splitlines():
        m = re.match(r"(.+?):(\d+): error: .*\[([a-z-]+)\]$", line)
        if m:
            errors[Path(m[1]).name].add((int(m[2]), m[3]))
    assert proc.returncode in (0, 1) and errors[BAD.name], proc.stdout + proc.stderr
    return errors


@needs_mypy
def test_stub_matches_runtime_module(tmp_path):
    # stubtest keeps its cache in the working directory.
    proc = python("-m", "mypy.stubtest", "--allowlist", TYPING / "stubtest_allowlist.txt", "kestrine",
                  cwd=tmp_path, MYPYPATH=str(STUB.parent))
    assert proc.returncode == 0, proc.stdout + proc.stderr


@needs_mypy
def test_ok_usage_type_checks(mypy_errors):
    assert mypy_errors[OK.name] == set()


@needs_mypy
def test_bad_usage_fails_exactly_where_marked(mypy_errors):
    expected = marked_errors()
    assert len(expected) > 10
    assert mypy_errors[BAD.name] == expected


@pytest.fixture(scope="module")
def pyright():
    """A pyright command that runs (basedpyright bundles its own Node.js), or a skip."""
    for name in ("basedpyright", "pyright"):
        command = shutil.which(name, path=f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}")
        if command and subprocess.run([command, "--version"], capture_output=True,
                                      timeout=120).returncode == 0:
            return command
    pytest.skip("neither basedpyright nor pyright is installed and runs")


@pytest.mark.parametrize("version", TARGETS)
def test_pyright_accepts_and_rejects_the_same_lines(pyright, version, tmp_path):
    config = tmp_path / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "strict", "pythonVersion": version,
                                  "stubPath": str(STUB.parent)}))
    proc = subprocess.run([pyright, "--outputjson", "-p", config, "--pythonpath", sys.executable, OK, BAD],
                          capture_output=True, text=True, cwd=tmp_path, timeout=600)
    report = json.loads(proc.stdout)
    errors = {(Path(d["file"]).name, d["range"]["start"]["line"] + 1)
              for d in report["generalDiagnostics"] if d["severity"] == "error"}
    assert errors == {(BAD.name, line) for line, _ in marked_errors()}, proc.stdout


def test_ok_usage_runs():
    proc = python(OK)
    assert proc.returncode == 0, proc.stderr


def test_decorator_stub_members_exist_at_runtime():
    # stubtest cannot reach KestrineDecorator: it is no module attribute.
    tree = ast.parse(STUB.read_text())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "KestrineDecorator"]
    members = {n.name for n in cls.body if isinstance(n, ast.FunctionDef)}
    assert members == {"__get__", "__set__", "__delete__", "__set_name__", "__call__",
                       "cache_clear", "cache_info"}

    class C(kestrine.KestrineBase):
        @kestrine.kestrined()
        def m(self):
            return 1

    runtime = type(C.__dict__["m"])
    assert runtime.__name__ == "KestrineDecorator"
    assert all(callable(getattr(runtime, name, None)) for name in members)
