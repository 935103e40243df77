#!/usr/bin/env bash
# Provides the 3.14-era free-threaded CPython (the development snapshot in
# ../shared/cpython/, with its stack-reference patch for the generic method
# lookup) and a venv from it with the test tools, for `make test-snapshot`.
#
# The interpreter is cached outside the repo in
# ${KESTRINE_CACHE:-$HOME/.cache/kestrine}/cpython-<version>-snapshot (with
# KESTRINE_SNAPSHOT_PATCH=0: ...-snapshot-unpatched, for measurements only) and
# reused; only a prefix carrying .kestrine-snapshot-complete is trusted, so the
# ordinary bootstrap never mistakes it for its own interpreter. Builds into the
# shared cache serialise on the same lock file as tools/bootstrap.sh.
#
# The snapshot is an alpha: current packaging and pytest releases assume a
# finished 3.15, and numpy has no wheel for it. The venv pins what works there.
#
# Prints the path of the venv's interpreter as its last line of stdout; every
# step logs to stderr.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=bootstrap.sh
source "$here/bootstrap.sh" # defines repo, cache and the helper functions only

shared=${KESTRINE_SNAPSHOT_DIR:-$repo/../shared/cpython}
patched=${KESTRINE_SNAPSHOT_PATCH:-1}
venv=${KESTRINE_VENV:-$repo/.venv-snapshot}
marker_name=.kestrine-snapshot-complete
suffix=snapshot
[ "$patched" = 1 ] || suffix=snapshot-unpatched

say() { printf '[snapshot-python] %s\n' "$*" >&2; }
die() {
    printf '[snapshot-python] FAILED at step "%s": %s\n' "$1" "$2" >&2
    exit 1
}

find_cached() {
    find_marked "$cache/cpython-*-$suffix" "$marker_name"
}

build_snapshot() {
    take_build_lock
    local found
    if found=$(find_cached); then
        echo "$found"
        return 0
    fi
    local tarball
    tarball=$(ls "$shared"/cpython-*-snapshot.tar.xz 2>/dev/null | head -n1)
    [ -n "$tarball" ] || die "source" "no cpython-*-snapshot.tar.xz in $shared"
    install_build_deps
    local work=$cache/src-$suffix
    rm -rf "$work" && mkdir -p "$work/build"
    tar -xJf "$tarball" -C "$work/build" --strip-components=1 || die "unpack" "could not unpack $tarball"
    if [ "$patched" = 1 ]; then
        (cd "$work/build" && patch -p1 -s <"$shared/load-attr-stackref.patch") ||
            die "patch" "load-attr-stackref.patch does not apply"
    fi
    local version
    version=$(sed -n 's/^#define PY_VERSION[[:space:]]*"\([^"+]*\).*/\1/p' "$work/build/Include/patchlevel.h")
    [ -n "$version" ] || die "version" "no PY_VERSION in Include/patchlevel.h"
    local prefix=$cache/cpython-$version-$suffix
    say "building free-threaded CPython $version ($suffix) into $prefix (a few minutes)"
    local started=$SECONDS
    rm -rf "$prefix"
    (
        cd "$work/build"
        ./configure --disable-gil --disable-test-modules --prefix="$prefix" >"$work/configure.log" 2>&1 ||
            { tail -n 30 "$work/configure.log" >&2; exit 1; }
        make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
        make install >"$work/install.log" 2>&1 || { tail -n 30 "$work/install.log" >&2; exit 1; }
    ) || die "build" "configure/make failed; logs are in $work"
    local exe
    exe=$(cd "$prefix/bin" && ls python3.*t 2>/dev/null | grep -v config | head -n1)
    [ -n "$exe" ] || die "verify" "no python3.*t in $prefix/bin"
    say "verifying $prefix/bin/$exe"
    "$prefix/bin/$exe" -c '
import sys
assert not sys._is_gil_enabled(), "the GIL is enabled"
import ssl, ctypes, sqlite3
' || die "verify" "the built interpreter lacks the GIL-free mode or ssl/ctypes/sqlite3; see $work/make.log"
    "$prefix/bin/$exe" -m ensurepip >&2 || die "ensurepip" "ensurepip failed"
    # Last step: only a prefix carrying this marker is trusted.
    echo "$exe" >"$prefix/$marker_name"
    say "built CPython $version ($suffix) in $((SECONDS - started)) s"
    rm -rf "$work"
    echo "$prefix/bin/$exe"
}

py=$(find_cached) || py=$(build_snapshot)
say "interpreter: $py"
# Pins for the alpha: see the header. hypothesis 6.155.7 is the newest release that installs
# without a Rust toolchain.
make_venv "$py" "pytest==8.4.2 packaging==24.2 hypothesis==6.155.7 scikit-build-core cmake ninja mypy==1.18.2" \
    "$(printf 'packaging==24.2\npytest==8.4.2')"
echo "$venv/bin/python"
