#!/bin/bash
# Two builds of tavrin reading the same volume's file table, alternated and
# pinned to one CPU: `listall` of the whole 1,000,000-file bench volume,
# cold (caches dropped before each run) and warm, RUNS times each; prints
# every run and the medians of time and peak memory.
#   bench/table_compare.sh OLD_TAVRIN NEW_TAVRIN    (root; RUNS default 5, CPU default 1)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
old=$(realpath "$1") new=$(realpath "$2")
runs=${RUNS:-5} cpu=${CPU:-1}
[ "$(id -u)" = 0 ] || { echo "table_compare: needs root" >&2; exit 1; }
image=$("$repo/bench/table_volume.sh" 1000000)
work=$(mktemp -d /tmp/tavrin-table-compare-XXXXXX)
mnt=$work/mnt
cleanup() { mountpoint -q "$mnt" && fusermount -u "$mnt"; rm -rf "$work"; }
trap cleanup EXIT
mkdir "$mnt" "$work/varlib"
ntfs-3g -o ro "$image" "$mnt"
private=(unshare -m --propagation private sh -c 'mount --bind "$1" /var/lib; shift; exec "$@"' sh "$work/varlib")
one() {  # BUILD MODE -> "seconds KiB"
  [ "$2" = cold ] && { sync; echo 3 >/proc/sys/vm/drop_caches; }
  mkdir -p "$work/varlib/Norvane/Wickline"
  /usr/bin/time -f "%e %M" -o "$work/time" taskset -c "$cpu" "${private[@]}" "$1" listall "$mnt" >/dev/null 2>&1 || true
  rm -rf "$work/varlib/Norvane"
  tail -1 "$work/time"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for mode in cold warm; do
  : >"$work/old.$mode"; : >"$work/new.$mode"
  for ((i = 1; i <= runs; i++)); do
    o=$(one "$old" $mode); n=$(one "$new" $mode)
    echo "$mode run $i: old $o, new $n (seconds KiB)"
    echo "$o" >>"$work/old.$mode"; echo "$n" >>"$work/new.$mode"
  done
  for build in old new; do
    echo "$mode median $build: $(cut -d' ' -f1 "$work/$build.$mode" | median) s," \
         "$(cut -d' ' -f2 "$work/$build.$mode" | median) KiB"
  done
done
