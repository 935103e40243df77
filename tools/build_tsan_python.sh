#!/usr/bin/env bash
# Provides a free-threaded CPython built with ThreadSanitizer (clang) and a venv
# from it with the test tools, for `make tsan`.
#
# The interpreter is cached outside the repo in
# ${KESTRINE_CACHE:-$HOME/.cache/kestrine}/cpython-<version>t-tsan and reused;
# only a prefix carrying .kestrine-tsan-complete is trusted. The source comes
# from the same place as tools/bootstrap.sh (whose functions are sourced here),
# and builds into the shared cache serialise on the same lock file.
#
# Prints the path of the venv's interpreter as its last line of stdout; every
# step logs to stderr.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=bootstrap.sh
source "$here/bootstrap.sh" # defines repo, cache and the helper functions only

venv=${KESTRINE_VENV:-$repo/.venv-tsan}
marker_name=.kestrine-tsan-complete

say() { printf '[tsan-python] %s\n' "$*" >&2; }
die() {
    printf '[tsan-python] FAILED at step "%s": %s\n' "$1" "$2" >&2
    exit 1
}

# Reports from the interpreter while it builds, checks itself or runs pip are
# logged, never fatal: only the test run judges races.
tooling_tsan_options() {
    echo "suppressions=$repo/tools/tsan.supp exitcode=0 log_path=$1"
}

is_tsan_build() {
    "$1" -c 'import sys, sysconfig
sys.exit(0 if "--with-thread-sanitizer" in sysconfig.get_config_var("CONFIG_ARGS") else 1)' 2>/dev/null
}

find_cached() {
    find_marked "$cache/cpython-*t-tsan" "$marker_name" is_tsan_build
}

need_clang() {
    command -v clang >/dev/null 2>&1 && command -v clang++ >/dev/null 2>&1 && return 0
    [ "$(id -u)" -eq 0 ] || die "clang" "run as root: apt-get install -y clang"
    say "installing clang"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >&2 || die "clang" "apt-get install clang failed"
}

build_tsan_interpreter() {
    take_build_lock
    local found
    if found=$(find_cached); then
        echo "$found"
        return 0
    fi
    need_clang
    install_build_deps
    apt_private
    local work=$cache/src-tsan
    download_source "$work"
    local prefix=$cache/cpython-${SRC_VERSION}t-tsan
    say "building free-threaded CPython $SRC_VERSION with ThreadSanitizer into $prefix (about 10 minutes)"
    local started=$SECONDS
    CC=clang CXX=clang++ TSAN_OPTIONS=$(tooling_tsan_options "$work/tsan-build") \
        build_cpython "$work" "$prefix" --with-thread-sanitizer
    local minor=${SRC_VERSION%.*}
    local exe=python${minor}t
    say "verifying $prefix/bin/$exe"
    TSAN_OPTIONS=$(tooling_tsan_options "$work/tsan-verify") "$prefix/bin/$exe" -c '
import sys, sysconfig
assert not sys._is_gil_enabled(), "the GIL is enabled"
assert "--with-thread-sanitizer" in sysconfig.get_config_var("CONFIG_ARGS")
import ssl, ctypes, sqlite3
' || die "verify" "the built interpreter lacks the GIL-free mode, ThreadSanitizer or ssl/ctypes/sqlite3; see $work/make.log"
    # Kept for reference when a report needs triage; tools/tsan.supp is what runs.
    cp "$work/build/Tools/tsan/suppressions_free_threading.txt" "$prefix/upstream-tsan-suppressions.txt" 2>/dev/null || true
    # Last step: only a prefix carrying this marker is trusted.
    echo "$exe" >"$prefix/$marker_name"
    say "built CPython $SRC_VERSION with ThreadSanitizer in $((SECONDS - started)) s"
    rm -rf "$work"
    echo "$prefix/bin/$exe"
}

py=$(find_cached) || py=$(build_tsan_interpreter)
say "interpreter: $py"
TSAN_OPTIONS=$(tooling_tsan_options "${TMPDIR:-/tmp}/kestrine-tsan-venv") make_venv "$py"
echo "$venv/bin/python"
