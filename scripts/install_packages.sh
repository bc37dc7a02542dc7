#!/usr/bin/env bash
# Installs those of the Debian packages named that are missing, as root, with
# a line for each package downloaded, unpacked and set up, and the time taken:
#
#   scripts/install_packages.sh PACKAGE...
#
# Exits 0 when all are installed (or were already), 1 when apt-get failed,
# 2 when some are missing and this is not root (they are named).
set -uo pipefail
set -f  # words of apt's lines are split below, never expanded

missing=()
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if [ ${#missing[@]} = 0 ]; then
  echo "== packages: all $# installed"
  exit 0
fi
if [ "$(id -u)" != 0 ]; then
  echo "== packages: not root, not installing: ${missing[*]}"
  exit 2
fi

started=$SECONDS
say() { printf '   %4d s  %s\n' $((SECONDS - started)) "$*"; }
echo "== packages: installing ${#missing[@]} missing (and what they need): ${missing[*]}"
say "apt-get update"
if ! apt-get update -qq; then
  echo "== packages: apt-get update failed"
  exit 1
fi
# A line per package and stage: "Get:N URL SUITE/COMPONENT ARCH NAME ARCH VERSION
# [SIZE]" while downloading, "Unpacking NAME (VERSION) ..." and "Setting up NAME
# (VERSION) ..." while installing.
DEBIAN_FRONTEND=noninteractive apt-get install -y \
    -o Dpkg::Use-Pty=0 -o APT::Color=0 "${missing[@]}" 2>&1 |
  while IFS= read -r line; do
    case $line in
      Get:*) set -- $line; say "downloaded $5 $7" ;;
      "Unpacking "*) set -- $line; say "unpacked $2 $3" ;;
      "Setting up "*) set -- $line; say "set up $3 $4" ;;
      E:*) echo "$line" ;;
    esac
  done
status=${PIPESTATUS[0]}
if [ "$status" != 0 ]; then
  echo "== packages: apt-get install failed ($status)"
  exit 1
fi
echo "== packages: done in $((SECONDS - started)) s"
