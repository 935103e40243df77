#!/usr/bin/env bash
# Creates, once, a Debian sid root with CPython 3.14 (the distribution's default,
# GIL-enabled build) and the test tools from Debian's own packages, and reuses it
# afterwards. It lives outside the repo, in
# ${KESTRINE_CACHE:-$HOME/.cache/kestrine}/sid-root; only a root carrying the
# completion marker is trusted, and a lock serialises concurrent callers.
#
# Needs root (debootstrap, chroot). Prints the root's path as the last line of
# stdout; every step logs to stderr.
set -euo pipefail

cache=${KESTRINE_CACHE:-$HOME/.cache/kestrine}
root=$cache/sid-root
marker=$root/.kestrine-complete
# Bump when the package set changes: an older root is then rebuilt.
recipe=2
packages=(python3.14 python3.14-dev python3-pytest python3-hypothesis python3-numpy
    cmake ninja-build g++)
# The build backend and the frontend that drives it, when the archive has them.
optional=(python3-scikit-build-core python3-pip)

say() { printf '[sid-root] %s\n' "$*" >&2; }
die() {
    printf '[sid-root] FAILED at step "%s": %s\n' "$1" "$2" >&2
    exit 1
}

is_complete() { [ -f "$marker" ] && [ "$(head -n1 "$marker")" = "recipe $recipe" ]; }

if is_complete; then
    echo "$root"
    exit 0
fi

[ "$(id -u)" -eq 0 ] || die "privileges" "debootstrap and chroot need root"
mkdir -p "$cache"
exec 8>"$cache/sid-root.lock"
say "waiting for the lock $cache/sid-root.lock"
flock 8
if is_complete; then # built by another caller while we waited
    echo "$root"
    exit 0
fi

if ! command -v debootstrap >/dev/null 2>&1; then
    say "installing debootstrap on the host"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 debootstrap; } >&2 ||
        die "host tools" "apt-get install debootstrap failed"
fi

# Removes a partial or outdated root; refuses while anything is mounted below it,
# so a leftover bind mount can never lead rm into the host's files.
remove_root() {
    [ -e "$1" ] || return 0
    if findmnt -rn -o TARGET | grep -q "^$1\(/\|$\)"; then
        die "cleanup" "$1 still has mounts below it (findmnt | grep $1); unmount them first"
    fi
    rm -rf --one-file-system "$1"
}

partial=$root.partial
remove_root "$root"
started=$SECONDS

# A base system left by an earlier run whose package step failed is reused.
if [ -f "$partial/.kestrine-base" ]; then
    say "reusing the base system in $partial"
else
    remove_root "$partial"
    # Every mount made during the build lives in a private mount namespace, so
    # none survives the build, whether it succeeds or fails.
    say "debootstrap --variant=minbase sid into $partial (about 3 minutes)"
    unshare --mount --propagation private -- \
        debootstrap --variant=minbase sid "$partial" >"$cache/sid-root.log" 2>&1 ||
        { tail -n 20 "$cache/sid-root.log" >&2; die "debootstrap" "see $cache/sid-root.log"; }
    touch "$partial/.kestrine-base"
fi
# The archive reachable from here may serve sid's index past its Valid-Until
# date (the host's apt is configured the same way).
cat >"$partial/etc/apt/apt.conf.d/99kestrine" <<'APT'
Acquire::Check-Valid-Until "false";
APT

in_root() {
    unshare --mount --propagation private -- /bin/sh -c '
        root=$1; shift
        mount -t proc proc "$root/proc" || exit 1
        chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
            LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
        rc=$?
        umount "$root/proc"
        exit $rc' in_root "$partial" "$@"
}

in_root apt-get update -q >>"$cache/sid-root.log" 2>&1 ||
    { tail -n 20 "$cache/sid-root.log" >&2; die "packages" "apt-get update in the root failed; see $cache/sid-root.log"; }
wanted=("${packages[@]}")
for p in "${optional[@]}"; do
    if in_root apt-cache show "$p" >/dev/null 2>&1; then
        wanted+=("$p")
    else
        say "the archive has no $p: the module will be built with plain cmake"
    fi
done
say "installing ${wanted[*]}"
in_root apt-get install -y -q --no-install-recommends "${wanted[@]}" >>"$cache/sid-root.log" 2>&1 ||
    { tail -n 20 "$cache/sid-root.log" >&2; die "packages" "apt-get install failed; see $cache/sid-root.log"; }
in_root apt-get clean

say "checking that the test tools import under python3.14"
in_root python3.14 -c '
import sys
assert sys.version_info[:2] == (3, 14), sys.version
import pytest, hypothesis, numpy
print("python", sys.version.split()[0], "pytest", pytest.__version__,
      "hypothesis", hypothesis.__version__, "numpy", numpy.__version__)
' >&2 || die "verify" "pytest, hypothesis or numpy does not import under python3.14 in the sid root"

rm -f "$partial/.kestrine-base"
mv "$partial" "$root"
# Last step: only a root carrying this marker is trusted.
{
    echo "recipe $recipe"
    echo "${wanted[*]}"
} >"$partial.marker"
mv "$partial.marker" "$marker"
say "sid root ready in $((SECONDS - started)) s ($(du -sh --one-file-system "$root" | cut -f1))"
echo "$root"
