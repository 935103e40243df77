#!/usr/bin/env bash
# Provides a free-threaded CPython and a .venv with the test tools.
#
# Resolution order: $PYTHON, python3.14t / python3.13t on PATH, otherwise a
# free-threaded build from Debian's source package, cached outside the repo in
# ${KESTRINE_CACHE:-$HOME/.cache/kestrine}/cpython-<version>t and reused.
#
# Prints the path of the venv's interpreter as its last line of stdout; every
# step logs to stderr.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${KESTRINE_CACHE:-$HOME/.cache/kestrine}
venv=${KESTRINE_VENV:-$repo/.venv}

say() { printf '[bootstrap] %s\n' "$*" >&2; }
die() {
    printf '[bootstrap] FAILED at step "%s": %s\n' "$1" "$2" >&2
    exit 1
}

is_free_threaded() {
    "$1" -c 'import sys, sysconfig; sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") == 1 else 1)' 2>/dev/null
}

# --- step 1-2: an interpreter the machine already has --------------------
find_existing() {
    if [ -n "${PYTHON:-}" ]; then
        command -v "$PYTHON" >/dev/null 2>&1 || die "interpreter" "\$PYTHON=$PYTHON is not an executable; unset it or point it at a free-threaded python"
        is_free_threaded "$PYTHON" || die "interpreter" "\$PYTHON=$PYTHON is not a free-threaded build (Py_GIL_DISABLED != 1); unset it or point it at python3.13t/python3.14t"
        command -v "$PYTHON"
        return 0
    fi
    local name
    for name in python3.14t python3.13t; do
        if command -v "$name" >/dev/null 2>&1 && is_free_threaded "$name"; then
            command -v "$name"
            return 0
        fi
    done
    local marker
    for marker in "$cache"/cpython-*t/.kestrine-complete; do
        [ -f "$marker" ] || continue
        local prefix=${marker%/.kestrine-complete}
        local exe
        exe=$(cat "$marker")
        if [ -x "$prefix/bin/$exe" ] && is_free_threaded "$prefix/bin/$exe"; then
            echo "$prefix/bin/$exe"
            return 0
        fi
    done
    return 1
}

# --- step 3: build from Debian's source package ----------------------------
apt_private() {
    local aptdir=$cache/apt
    mkdir -p "$aptdir/lists/partial" "$aptdir/sources.list.d"
    cat >"$aptdir/sources.list.d/deb-src.sources" <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: sid forky trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    APT_OPTS=(-o "Dir::Etc::SourceList=/dev/null"
        -o "Dir::Etc::SourceParts=$aptdir/sources.list.d"
        -o "Dir::State::Lists=$aptdir/lists")
}

install_build_deps() {
    local pkgs=(build-essential pkg-config xz-utils libssl-dev libffi-dev zlib1g-dev
        libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev uuid-dev)
    local missing=() p
    for p in "${pkgs[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        die "build dependencies" "run as root: apt-get install -y ${missing[*]}"
    fi
    say "installing build dependencies: ${missing[*]}"
    apt-get update -qq >&2 || die "build dependencies" "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2 ||
        die "build dependencies" "apt-get install ${missing[*]} failed"
}

download_source() {
    # Newest first: every listed python3.14 version, then python3.13. The archive
    # does not serve every version it lists, so try until one downloads.
    local work=$1 pkg versions v
    say "updating the private source lists in $cache/apt"
    apt-get "${APT_OPTS[@]}" update -qq >&2 || die "source lists" "apt-get update with the private configuration failed (network?)"
    for pkg in python3.14 python3.13; do
        versions=$(apt-cache "${APT_OPTS[@]}" showsrc "$pkg" 2>/dev/null |
            awk -v p="$pkg" '/^Package:/{cur=$2} /^Version:/{if (cur==p) print $2}' | sort -u)
        [ -n "$versions" ] || continue
        versions=$(printf '%s\n' $versions | python3 -c '
import sys, subprocess, functools
vs = [l.strip() for l in sys.stdin if l.strip()]
def cmp(a, b):
    if a == b: return 0
    return -1 if subprocess.call(["dpkg", "--compare-versions", a, "lt", b]) == 0 else 1
print("\n".join(sorted(vs, key=functools.cmp_to_key(cmp), reverse=True)))' 2>/dev/null || printf '%s\n' $versions | sort -rV)
        for v in $versions; do
            say "trying source $pkg=$v"
            rm -rf "$work" && mkdir -p "$work"
            if (cd "$work" && apt-get "${APT_OPTS[@]}" source --download-only -qq "$pkg=$v" >&2 2>/dev/null); then
                SRC_TARBALL=$(ls "$work"/*.orig.tar.xz 2>/dev/null | head -n1)
                if [ -n "$SRC_TARBALL" ]; then
                    SRC_VERSION=${v%%-*}
                    SRC_VERSION=${SRC_VERSION%%+*}
                    return 0
                fi
            fi
        done
    done
    die "source download" "no python3.14 or python3.13 source version listed by the archive could be downloaded"
}

# Unpacks $SRC_TARBALL into $1/build and builds free-threaded CPython into $2; further
# arguments go to configure. The caller's environment (CC, ...) reaches configure and make.
build_cpython() {
    local work=$1 prefix=$2
    shift 2
    rm -rf "$prefix" "$work/build"
    mkdir -p "$work/build"
    tar -xJf "$SRC_TARBALL" -C "$work/build" --strip-components=1 || die "unpack" "could not unpack $SRC_TARBALL"
    (
        cd "$work/build"
        ./configure --disable-gil --prefix="$prefix" "$@" >"$work/configure.log" 2>&1 ||
            { tail -n 30 "$work/configure.log" >&2; exit 1; }
        make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
        make install >"$work/install.log" 2>&1 || { tail -n 30 "$work/install.log" >&2; exit 1; }
    ) || die "build" "configure/make failed; logs are in $work"
}

# Builds into the cache take turns: the lock is held on fd 9 until the calling shell exits.
take_build_lock() {
    mkdir -p "$cache"
    exec 9>"$cache/build.lock"
    say "waiting for the build lock $cache/build.lock"
    flock 9
}

build_interpreter() {
    take_build_lock
    # Another bootstrap may have finished the build while we waited.
    local found
    if found=$(find_existing); then
        echo "$found"
        return 0
    fi
    install_build_deps
    apt_private
    local work=$cache/src
    download_source "$work"
    local prefix=$cache/cpython-${SRC_VERSION}t
    say "building free-threaded CPython $SRC_VERSION into $prefix (about 5 minutes)"
    local started=$SECONDS
    build_cpython "$work" "$prefix"
    local minor=${SRC_VERSION%.*}
    local exe=python${minor}t
    say "verifying $prefix/bin/$exe"
    "$prefix/bin/$exe" -c '
import sys
assert not sys._is_gil_enabled(), "the GIL is enabled"
import ssl, ctypes, sqlite3
' || die "verify" "the built interpreter lacks the GIL-free mode or ssl/ctypes/sqlite3; see $work/make.log"
    # Last step: only a prefix carrying this marker is trusted.
    echo "$exe" >"$prefix/.kestrine-complete"
    say "built CPython $SRC_VERSION in $((SECONDS - started)) s"
    rm -rf "$work"
    echo "$prefix/bin/$exe"
}

# --- step 4: the venv --------------------------------------------------------
# make_venv PY [TOOLS [PINS]]: $venv from PY with TOOLS installed, PINS (one requirement per
# line) constraining them and what they pull in.
make_venv() {
    local py=$1
    local stamp=$venv/.kestrine-tools
    # mypy 1.18 is the last release whose dependencies all have free-threaded wheels.
    local want=${2:-"pytest hypothesis numpy scikit-build-core cmake ninja clang-format==23.1.5 mypy==1.18.2"}
    local pins=${3:-}
    local have=""
    [ -x "$venv/bin/python" ] && [ -f "$stamp" ] && have=$(cat "$stamp")
    [ "$have" = "$py $want" ] && return 0
    # A venv of the same interpreter is updated in place, so that runs using it go on.
    if [ "${have%% *}" != "$py" ]; then
        say "creating $venv from $py"
        rm -rf "$venv"
        "$py" -m venv "$venv" || die "venv" "$py -m venv $venv failed"
    fi
    say "installing test tools: $want"
    local constraints=/dev/null
    if [ -n "$pins" ]; then
        constraints=$(mktemp)
        printf '%s\n' "$pins" >"$constraints"
    fi
    PIP_CONSTRAINT=$constraints "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        --prefer-binary $want >&2 || die "venv" "pip install $want failed (is PyPI reachable?)"
    [ "$constraints" = /dev/null ] || rm -f "$constraints"
    echo "$py $want" >"$stamp"
}

# find_marked GLOB MARKER [CHECK]: the interpreter of the first prefix matching GLOB that
# carries MARKER (whose content names the executable), is free-threaded and passes CHECK.
find_marked() {
    local glob=$1 marker_name=$2 check=${3:-true} marker prefix exe
    for marker in $glob/$marker_name; do
        [ -f "$marker" ] || continue
        prefix=${marker%/"$marker_name"}
        exe=$(cat "$marker")
        if [ -x "$prefix/bin/$exe" ] && is_free_threaded "$prefix/bin/$exe" && $check "$prefix/bin/$exe"; then
            echo "$prefix/bin/$exe"
            return 0
        fi
    done
    return 1
}

# Sourced (tools/build_tsan_python.sh reuses the functions above): stop here.
return 0 2>/dev/null || true

py=$(find_existing) || py=$(build_interpreter)
say "interpreter: $py"
make_venv "$py"
echo "$venv/bin/python"
