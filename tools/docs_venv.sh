#!/usr/bin/env bash
# Provides .venv-docs, the venv of the documentation tools: MkDocs with the Material theme,
# matplotlib and Selenium, at the versions docs/requirements.txt pins (with everything they
# pull in). It is made from the free-threaded interpreter tools/bootstrap.sh finds or builds
# (whose functions are sourced here), so a clean checkout needs nothing else; the tools are
# pure Python or have wheels for it.
#
# Prints the path of the venv's interpreter as its last line of stdout; every step logs to
# stderr.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=bootstrap.sh
source "$here/bootstrap.sh" # defines repo, cache and the helper functions only

venv=${KESTRINE_VENV:-$repo/.venv-docs}
py=$(find_existing) || py=$(build_interpreter)
make_venv "$py" "$(grep -Ev '^\s*(#|$)' "$repo/docs/requirements.txt" | tr '\n' ' ' | sed 's/ *$//')"
echo "$venv/bin/python"
