#!/bin/bash
# tavrin on a small NTFS volume: build, make a volume with some suspect files,
# list them, repair them, list again. Run as root on Debian or Ubuntu:
#
#   scripts/demo.sh
#
# Installs what is missing (cmake g++ ntfs-3g attr libgtest-dev: the preset's
# configure step looks for googletest), builds only the program in build/linux
# with the preset, showing a line per package and per build step, and leaves
# nothing mounted. The result files
# stay in /var/lib/Norvane/Wickline. TAVRIN=path/to/tavrin skips the build.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
tool_folder=/var/lib/Norvane/Wickline
attribute=system.ntfs_attrib_be

step() { printf '\n==> %s\n' "$*"; }
die() { echo "demo: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || die "run as root (it mounts an NTFS volume)"

step "Packages"
# A line per package downloaded and set up.
bash "$repo/scripts/install_packages.sh" cmake g++ ntfs-3g attr libgtest-dev ||
  die "could not install the packages"

if [ -z "${TAVRIN:-}" ]; then
  step "Build (cmake --preset linux && cmake --build --preset linux --target tavrin)"
  # The program only: the unit tests are scripts/test.sh's business. A line per step.
  (cd "$repo" && cmake --preset linux >/dev/null &&
    cmake --build --preset linux --target tavrin --parallel "$(nproc)")
  TAVRIN=$repo/build/linux/tavrin
fi
tavrin=$(realpath "$TAVRIN")
echo "tavrin: $tavrin"

step "A 64 MiB NTFS volume with some suspect files"
work=$(mktemp -d /tmp/tavrin-demo-XXXXXX)
mnt=$work/mnt
cleanup() {
  if mountpoint -q "$mnt" 2>/dev/null; then fusermount -u "$mnt" || umount -l "$mnt"; fi
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
truncate -s 64M "$work/volume.img"
mkntfs -F -Q -L DEMO "$work/volume.img" >/dev/null 2>&1
mkdir "$mnt"
ntfs-3g "$work/volume.img" "$mnt"
echo "mounted $work/volume.img on $mnt (ntfs-3g)"

set_word() { setfattr -h -n "$attribute" -v "$(printf '0x%08x' "$2")" "$1"; }
files=(
  "Users/ana/Documents/report.docx:0x20"
  "Users/ana/Documents/invoice.pdf.exe:0x3127"
  "Users/ana/Pictures/holiday.jpg:0x20"
  "Program Files/Viewer/viewer.exe:0x21"
  "Windows/System32/drivers/usbhelp.sys:0x3127"
  "Windows/Temp/setup.tmp:0x3126"
)
for entry in "${files[@]}"; do
  path=$mnt/${entry%:*}
  mkdir -p "$(dirname "$path")"
  echo demo >"$path"
  set_word "$path" $((${entry##*:}))
done

show_words() {
  for entry in "${files[@]}"; do
    local path=$mnt/${entry%:*} hex
    hex=$(getfattr -h --absolute-names -e hex -n "$attribute" "$path" 2>/dev/null |
      sed -n "s/^$attribute=//p")
    printf '  %-12s %6d  %s\n' "$hex" "$((hex))" "$path"
  done
}
echo "attribute words (0x3127 = 12583 is the suspect word; 0x3126 is not):"
show_words

step "The tool folder $tool_folder"
if [ -d "$tool_folder" ]; then
  echo "exists: result files go there"
else
  # What the .deb's install does; tavrin itself never creates it.
  install -d -m 0755 "$(dirname "$tool_folder")"
  install -d -m 0750 "$tool_folder"
  echo "created it, root's alone (mode 0750), as the .deb does; without it the records go to the console"
fi

# Runs tavrin and shows its console output and the result file it wrote.
run() {
  local before after name output
  before=$(ls -1 "$tool_folder")
  echo "\$ tavrin $*"
  output=$("$tavrin" "$@")
  if [ -n "$output" ]; then printf '%s\n' "$output" | sed '/^$/d; s/^/  console: /'; fi
  after=$(ls -1 "$tool_folder")
  name=$(comm -13 <(echo "$before") <(echo "$after") | head -1)
  if [ -z "$name" ]; then
    echo "  (no new result file)"
  elif [ -s "$tool_folder/$name" ]; then
    echo "  result file $tool_folder/$name:"
    tail -n +2 "$tool_folder/$name" | sed 's/^/    /'
    echo
  else
    echo "  result file $tool_folder/$name: empty"
  fi
}

step "List the suspect files"
run list "$mnt"

step "Repair them (couldNotFix lists the files that could not be repaired)"
run repair "$mnt"
echo "attribute words after the repair (0x80 = normal):"
show_words

step "List again"
run list "$mnt"

step "Unmount"
fusermount -u "$mnt"
echo "unmounted; the result files stay in $tool_folder"
