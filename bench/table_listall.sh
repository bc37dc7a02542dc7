#!/bin/bash
# tavrin listall reading the file table, against the walk (the same program
# built never to read it) and the bare loop, on the 1,000,000-file ntfs-3g
# volume of bench/table_volume.sh; cold (caches dropped) and warm; and the
# time to read the table's bytes alone (dd of the $MFT extents, cold).
#   bench/table_listall.sh [BUILD]     (root; BUILD default build/linux)
# One run of each; the ratios come from that run. Peak memory from
# /usr/bin/time %M. Not part of the tests: the volume takes long to make.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$repo/build/linux}")
tavrin=$build/tavrin
walk_only=$build/tests/property/tavrin_walk_only
files=${FILES:-1000000}
die() { echo "table_listall: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "needs root (mounts an NTFS image, drops caches)"
[ -x "$tavrin" ] && [ -x "$walk_only" ] || die "build $build first (cmake --build --preset linux)"
[ -x /usr/bin/time ] || die "/usr/bin/time not found (apt-get install time)"
image=$("$repo/bench/table_volume.sh" "$files")

work=$(mktemp -d /tmp/tavrin-table-bench-XXXXXX)
mnt=$work/mnt
cleanup() {
  if mountpoint -q "$mnt"; then fusermount -u "$mnt" || umount -l "$mnt"; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cc -O2 -o "$work/bare_loop" "$repo/bench/bare_loop.c"
mkdir "$mnt" "$work/varlib"
ntfs-3g -o ro "$image" "$mnt"

drop() { sync; echo 3 >/proc/sys/vm/drop_caches; }
# Wall seconds and peak KiB of a command, its output thrown away.
measure() {
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>&1 || true
  tail -1 "$work/time"
}
# tavrin with a private tool folder, so each run writes its result file there.
private=(unshare -m --propagation private sh -c 'mount --bind "$1" /var/lib; shift; exec "$@"' sh "$work/varlib")
mkdir -p "$work/varlib/Norvane/Wickline"

# The table's extents, from the boot sector and record 0 (the same parse
# the reader makes; 1 KiB records with their first 512 bytes fixed up).
extents=$(python3 - "$image" <<'PY'
import struct, sys
f = open(sys.argv[1], "rb")
boot = f.read(512)
sector, per = struct.unpack_from("<HB", boot, 0x0B)
cluster = sector * per
mft = struct.unpack_from("<Q", boot, 0x30)[0]
f.seek(mft * cluster)
rec = bytearray(f.read(1024))
at = struct.unpack_from("<H", rec, 0x14)[0]
while True:
    kind, length = struct.unpack_from("<II", rec, at)
    if kind == 0x80:
        pairs = at + struct.unpack_from("<H", rec, at + 0x20)[0]
        lcn = 0
        while rec[pairs]:
            ls, os_ = rec[pairs] & 15, rec[pairs] >> 4
            count = int.from_bytes(rec[pairs + 1:pairs + 1 + ls], "little")
            lcn += int.from_bytes(rec[pairs + 1 + ls:pairs + 1 + ls + os_], "little", signed=True)
            print(cluster, lcn, count)
            pairs += 1 + ls + os_
        break
    at += length
PY
)
dd_table() {
  local start end
  start=$(date +%s%N)
  while read -r cluster lcn count; do
    dd if="$image" bs="$cluster" skip="$lcn" count="$count" of=/dev/null status=none
  done <<<"$extents"
  end=$(date +%s%N)
  awk -v ns="$((end - start))" 'BEGIN { printf "%.2f", ns / 1e9 }'
}
mib=$(awk '{ s += $1 * $3 } END { printf "%.0f", s / 1048576 }' <<<"$extents")

echo "volume: $image ($files files; the table is $mib MiB)"
drop; dd_cold=$(dd_table)
declare -A wall peak
for tool in ${TOOLS:-table walk bare}; do
  case $tool in
    table) command=("${private[@]}" "$tavrin" listall "$mnt") ;;
    walk) command=("${private[@]}" "$walk_only" listall "$mnt") ;;
    bare) command=("$work/bare_loop" "$mnt") ;;
  esac
  drop
  read -r wall[$tool.cold] peak[$tool.cold] < <(measure "${command[@]}")
  read -r wall[$tool.warm] peak[$tool.warm] < <(measure "${command[@]}")
  # The warm run's records, kept to compare the table's with the walk's.
  for result in "$work"/varlib/Norvane/Wickline/*; do
    if [ -e "$result" ]; then mv "$result" "$work/$tool.records"; fi
  done
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }
printf '\n%-36s %10s %10s %12s\n' "$files files, seconds" cold warm "peak MiB"
for tool in ${TOOLS:-table walk bare}; do
  case $tool in
    table) name="tavrin listall (file table)" ;;
    walk) name="tavrin listall (walk)" ;;
    bare) name="bare loop (bench/bare_loop.c)" ;;
  esac
  printf '%-36s %10s %10s %12s\n' "$name" "${wall[$tool.cold]}" "${wall[$tool.warm]}" \
    "$(awk -v k="${peak[$tool.cold]}" 'BEGIN { printf "%.1f", k / 1024 }')"
done
printf '%-36s %10s\n' "dd of the \$MFT extents ($mib MiB)" "$dd_cold"
echo
if [ -n "${wall[walk.cold]:-}" ] && [ -n "${wall[table.cold]:-}" ]; then
  echo "walk / table: cold $(ratio "${wall[walk.cold]}" "${wall[table.cold]}"), warm $(ratio "${wall[walk.warm]}" "${wall[table.warm]}") (target: cold >= 20)"
fi
[ -n "${wall[table.cold]:-}" ] || exit 0
echo "table / dd of the table: cold $(ratio "${wall[table.cold]}" "$dd_cold") (target: <= 1.5)"
echo "table memory: $(awk -v k="${peak[table.cold]}" -v n="$files" 'BEGIN { printf "%.0f", k * 1024 / n }') bytes per file (target: <= 110)"
if [ -e "$work/walk.records" ] && [ -e "$work/table.records" ]; then
  if cmp -s "$work/walk.records" "$work/table.records"; then
    echo "records: the table's and the walk's are the same bytes"
  else
    echo "records: the table's and the walk's DIFFER"
    exit 1
  fi
fi
