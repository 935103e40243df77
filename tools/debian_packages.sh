#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are missing, from Debian's archive
# (apt-get, as root, as in CI), and says how long that took. Without root it names the
# command to run and fails.
set -euo pipefail

missing=()
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "[packages] missing: ${missing[*]}; run as root: apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "[packages] installing ${missing[*]} from Debian's archive" >&2
started=$SECONDS
apt-get update -qq >&2
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "[packages] installed ${missing[*]} in $((SECONDS - started)) s" >&2
