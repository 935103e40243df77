"""The wheel, installed into a fresh venv outside the source tree.

Slow, so it runs only with KESTRINE_WHEEL_TEST=1 (`make test-wheel`). KESTRINE_WHEEL
names the wheel to test; without it one is built here from the working tree.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(os.environ.get("KESTRINE_WHEEL_TEST") != "1",
                                reason="slow: set KESTRINE_WHEEL_TEST=1 (make test-wheel)")

ROOT = Path(__file__).resolve().parent.parent
ENV = {k: v for k, v in os.environ.items() if k not in ("PYTHON_GIL", "PYTHONPATH")}

# Stands in for examples/tour.py while that is missing.
FALLBACK = """\
from kestrine import KestrineBase, kestrined

class C(KestrineBase):
    @kestrined()
    def square(self, x):
        return [x * x]

c = C()
assert c.square(3) is c.square(3) == [9]
print("cached:", c.cached_values)
"""


def run(*args, cwd=None):
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True, cwd=cwd,
                          env=ENV, timeout=900)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc


@pytest.fixture(scope="module")
def venv_python(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("wheel")
    wheel = os.environ.get("KESTRINE_WHEEL")
    if not wheel:
        run(sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
            "--no-index", f"-Cbuild-dir={tmp / 'build'}", "-w", tmp / "dist", ROOT)
        (wheel,) = (tmp / "dist").glob("kestrine-*.whl")
    run(sys.executable, "-m", "venv", tmp / "venv")
    python = tmp / "venv" / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--no-index",
        "--no-deps", wheel)
    return python


def site_packages(python):
    return Path(run(python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))").stdout.strip())


def test_wheel_installs_module_and_stub_at_site_packages_root(venv_python):
    site = site_packages(venv_python)
    ext = "kestrine" + sysconfig.get_config_var("EXT_SUFFIX")
    assert {p.name for p in site.glob("kestrine*") if p.is_file()} == {ext, "kestrine.pyi"}
    assert (site / "kestrine-stubs" / "__init__.pyi").read_text() == (site / "kestrine.pyi").read_text()
    where = run(venv_python, "-c", "import kestrine; print(kestrine.__file__)", cwd=site.parent).stdout
    assert Path(where.strip()) == site / ext


def test_tour_runs_from_installed_wheel(venv_python, tmp_path):
    tour = ROOT / "examples" / "tour.py"
    script = tmp_path / "tour.py"
    if tour.exists():
        shutil.copy(tour, script)
    else:
        script.write_text(FALLBACK)
    proc = run(venv_python, script, cwd=tmp_path)
    assert proc.stderr == ""
    assert proc.stdout.strip()
