#!/bin/bash
# Makes (once) the 1,000,000-file ntfs-3g image of the file-table bench and
# keeps it in CACHE (default /var/cache/tavrin-bench), outside the repo.
# Slow (tens of minutes, through ntfs-3g): never part of the tests.
#   bench/table_volume.sh [FILES]        (root; prints the image's path)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
files=${1:-1000000}
cache=${CACHE:-/var/cache/tavrin-bench}
image=$cache/volume-$files.img
[ "$(id -u)" = 0 ] || { echo "table_volume: needs root (mounts an NTFS image)" >&2; exit 1; }
if [ -e "$image" ]; then echo "$image"; exit 0; fi
mkdir -p "$cache"
work=$(mktemp -d "$cache/.make-XXXXXX")
trap 'mountpoint -q "$work/mnt" && fusermount -u "$work/mnt"; rm -rf "$work"' EXIT
cc -O2 -o "$work/fill_tree" "$repo/bench/fill_tree.c"
# About 1.3 KiB of table per file, and room to spare.
truncate -s $(( (files * 2 + 65536) * 1024 )) "$work/volume.img"
mkntfs -F -Q -L bench "$work/volume.img" >/dev/null 2>&1
mkdir "$work/mnt"
ntfs-3g "$work/volume.img" "$work/mnt"
start=$(date +%s)
"$work/fill_tree" "$work/mnt" "$files"
fusermount -u "$work/mnt"
echo "made $files files in $(( $(date +%s) - start )) s" >&2
mv "$work/volume.img" "$image"
echo "$image"
