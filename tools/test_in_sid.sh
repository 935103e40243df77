#!/usr/bin/env bash
# Runs the test suite on Debian sid's CPython 3.14 (the default, GIL-enabled
# build) inside the sid root of tools/sid_root.sh.
#
# The working tree (without venvs, build trees and git metadata) is copied into a
# fresh directory of the root; the module is built there for python3.14 with
# scikit-build-core (plain cmake when the root has no scikit-build-core), and
# pytest runs on tests/ with the built module on PYTHONPATH. /proc is mounted for
# the run inside a private mount namespace, so it is unmounted when the run ends
# however it ends; the copy is removed on exit. Extra arguments go to pytest.
# Needs root. Exit status: pytest's, or 3 when the build fails.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
say() { printf '[test-3.14] %s\n' "$*" >&2; }

root=$(bash "$repo/tools/sid_root.sh" | tail -n1)
[ -f "$root/.kestrine-complete" ] || { say "no usable sid root"; exit 1; }

work=$(mktemp -d "$root/tmp/kestrine.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
inner=/tmp/${work##*/}

say "copying $repo into $work/src"
mkdir "$work/src"
tar -C "$repo" --exclude=./.git --exclude='./.venv*' --exclude=./build --exclude=./dist \
    --exclude=__pycache__ --exclude=.hypothesis --exclude=.pytest_cache --exclude='*.so' \
    -cf - . | tar -C "$work/src" -xf -

# Runs inside the chroot, as /bin/sh, in $inner/src.
cat >"$work/run.sh" <<'INNER'
set -eu
export PIP_ROOT_USER_ACTION=ignore
cd "$1/src"
shift
echo "[test-3.14] $(python3.14 -VV)" >&2
if python3.14 -c 'import scikit_build_core' 2>/dev/null; then
    echo "[test-3.14] building a wheel with scikit-build-core" >&2
    python3.14 -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
        --no-index -w ../wheel -Cbuild-dir=../build -Ccmake.define.KESTRINE_WERROR=ON . >&2 &&
        python3.14 -m zipfile -e ../wheel/kestrine-*.whl ../site
else
    echo "[test-3.14] building with cmake" >&2
    cmake -S . -B ../build -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DPython_EXECUTABLE=/usr/bin/python3.14 -DKESTRINE_WERROR=ON >&2 &&
        cmake --build ../build >&2 &&
        cmake --install ../build --prefix ../site >&2
fi || { echo "[test-3.14] BUILD FAILED" >&2; exit 3; }
ls ../site >&2
mkdir ../tmp
TMPDIR=$(cd ../tmp && pwd) PYTHONPATH=$(cd ../site && pwd) exec python3.14 -m pytest -q -p no:cacheprovider "$@" tests
INNER

say "building and testing in $root"
set +e
unshare --mount --propagation private -- /bin/sh -c '
    root=$1 inner=$2; shift 2
    mount -t proc proc "$root/proc" || exit 1
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 /bin/sh "$inner/run.sh" "$inner" "$@"
    rc=$?
    umount "$root/proc"
    exit $rc' test_in_sid "$root" "$inner" "$@"
rc=$?
set -e
say "exit status $rc (3: the build failed; otherwise pytest's)"
exit $rc
