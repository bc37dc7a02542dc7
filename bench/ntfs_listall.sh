#!/bin/bash
# tavrin listall against find, getfattr -R and a bare C loop, on a
# 100,000-file tree on ext4 and on an ntfs-3g volume; plus tavrin's peak
# memory on 100k and 10k files.
#
#   bench/ntfs_listall.sh [path/to/tavrin]     (root; default build/linux/tavrin)
#
# RUNS (default 5) alternated runs per tool, median reported. The scanner and
# the ntfs-3g process are pinned to CPU ${CPU:-0}. BENCH_DIR picks the ext4
# folder to work in (default: the first ext4 one of /var/tmp, /tmp, the repo).
# BASELINE=path/to/another/tavrin adds that build to the alternation, for a
# before-and-after comparison under the same load.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
tavrin=$(realpath "${1:-$repo/build/linux/tavrin}")
runs=${RUNS:-5}
cpu=${CPU:-0}
baseline=${BASELINE:+$(realpath "$BASELINE")}

die() { echo "ntfs_listall: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "needs root (mounts an NTFS image)"
[ -x "$tavrin" ] || die "no tavrin at $tavrin (cmake --preset linux && cmake --build --preset linux)"
for tool in mkntfs ntfs-3g fusermount getfattr taskset cc; do
  command -v "$tool" >/dev/null || die "$tool not found (apt-get install ntfs-3g attr util-linux gcc)"
done
[ -x /usr/bin/time ] || die "/usr/bin/time not found (apt-get install time)"

is_ext4() { [ "$(df --output=fstype "$1" 2>/dev/null | tail -1)" = ext4 ]; }
base=${BENCH_DIR:-}
if [ -z "$base" ]; then
  for candidate in /var/tmp /tmp "$repo"; do
    if is_ext4 "$candidate"; then base=$candidate; break; fi
  done
fi
[ -n "$base" ] && is_ext4 "$base" || die "no ext4 folder found; set BENCH_DIR"

work=$(mktemp -d "$base/tavrin-bench-XXXXXX")
mnt=$work/mnt
cleanup() {
  if mountpoint -q "$mnt"; then fusermount -u "$mnt" || umount -l "$mnt"; fi
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cc -O2 -o "$work/bare_loop" "$repo/bench/bare_loop.c"

# dirs x files one-byte files under $1
make_tree() {
  local root=$1 dirs=$2 files=$3 d f
  mkdir -p "$root"
  for ((d = 0; d < dirs; d++)); do
    mkdir "$root/d$d"
    for ((f = 0; f < files; f++)); do printf 1 >"$root/d$d/f$f"; done
  done
}

echo "building the trees in $work (ext4) and on an ntfs-3g image ..."
make_tree "$work/ext4/t100k" 100 1000
make_tree "$work/ext4/t10k" 10 1000
truncate -s 1G "$work/volume.img"
mkntfs -F -Q -L bench "$work/volume.img" >/dev/null 2>&1
mkdir "$mnt"
ntfs-3g "$work/volume.img" "$mnt"
make_tree "$mnt/t100k" 100 1000
make_tree "$mnt/t10k" 10 1000
# A fresh mount, so every run finds the same cache state.
fusermount -u "$mnt"
ntfs-3g "$work/volume.img" "$mnt"
taskset -cp "$cpu" "$(pgrep -f "ntfs-3g $work/volume.img" | head -1)" >/dev/null

seconds() {  # runs the command pinned, prints its wall time in seconds
  local start end
  start=$(date +%s%N)
  taskset -c "$cpu" "$@" >/dev/null 2>&1 || true
  end=$(date +%s%N)
  awk -v ns="$((end - start))" 'BEGIN { printf "%.4f", ns / 1e9 }'
}

run_tool() {
  case $1 in
    tavrin) seconds "$tavrin" listall "$2" ;;
    baseline) seconds "$baseline" listall "$2" ;;
    find) seconds find "$2" -type f ;;
    getfattr) seconds getfattr -R -h -n system.ntfs_attrib_be "$2" ;;
    bare) seconds "$work/bare_loop" "$2" ;;
  esac
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

tools=(tavrin find getfattr bare)
[ -n "$baseline" ] && tools+=(baseline)
declare -A times
for fs in ext4 ntfs; do
  dir=$work/ext4/t100k
  [ "$fs" = ntfs ] && dir=$mnt/t100k
  for tool in "${tools[@]}"; do run_tool "$tool" "$dir" >/dev/null; done  # warm the caches
  for ((run = 0; run < runs; run++)); do
    for tool in "${tools[@]}"; do
      times[$fs.$tool]="${times[$fs.$tool]:-} $(run_tool "$tool" "$dir")"
    done
  done
done

peak() {  # peak resident memory of tavrin listall DIR, in KiB
  /usr/bin/time -f %M -o "$work/peak" taskset -c "$cpu" "$tavrin" listall "$1" >/dev/null 2>&1
  tail -1 "$work/peak"  # after time's note of a non-zero status (ext4 is not NTFS: 2)
}

echo
echo "tavrin listall, 100 dirs x 1000 files; median of $runs alternated runs, seconds (CPU $cpu)"
printf '%-34s %10s %10s\n' "" ext4 ntfs-3g
declare -A med
for tool in "${tools[@]}"; do
  for fs in ext4 ntfs; do med[$fs.$tool]=$(echo "${times[$fs.$tool]}" | median); done
done
printf '%-34s %10s %10s\n' "tavrin listall DIR" "${med[ext4.tavrin]}" "${med[ntfs.tavrin]}"
printf '%-34s %10s %10s\n' "find DIR -type f" "${med[ext4.find]}" "${med[ntfs.find]}"
printf '%-34s %10s %10s\n' "getfattr -R -h -n ... DIR" "${med[ext4.getfattr]}" "${med[ntfs.getfattr]}"
printf '%-34s %10s %10s\n' "bare C loop (bench/bare_loop.c)" "${med[ext4.bare]}" "${med[ntfs.bare]}"
if [ -n "$baseline" ]; then
  printf '%-34s %10s %10s\n' "baseline listall DIR" "${med[ext4.baseline]}" "${med[ntfs.baseline]}"
fi
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v r="$1" -v limit="$2" 'BEGIN { print (r <= limit) ? "ok" : "MISSED" }'; }
for fs in ext4 ntfs; do
  g=$(ratio "${med[$fs.tavrin]}" "${med[$fs.getfattr]}")
  b=$(ratio "${med[$fs.tavrin]}" "${med[$fs.bare]}")
  printf '%-7s tavrin/getfattr %s (target < 0.70: %s)   tavrin/bare %s (target <= 1.10: %s)\n' \
    "$fs" "$g" "$(verdict "$g" 0.6999)" "$b" "$(verdict "$b" 1.10)"
done

echo
echo "tavrin listall peak memory (KiB, /usr/bin/time %M)"
printf '%-10s %10s %10s\n' "" 10k 100k
printf '%-10s %10s %10s\n' ext4 "$(peak "$work/ext4/t10k")" "$(peak "$work/ext4/t100k")"
printf '%-10s %10s %10s\n' ntfs-3g "$(peak "$mnt/t10k")" "$(peak "$mnt/t100k")"
if [ -n "$baseline" ]; then
  tavrin=$baseline
  printf '%-10s %10s %10s\n' "baseline" "$(peak "$mnt/t10k")" "$(peak "$mnt/t100k")"
fi
