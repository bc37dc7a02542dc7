#!/bin/sh
# Runs tavrin once on a Linux host and tells the play what that run left behind.
#
# Usage: run_tavrin.sh PROGRAM TOOL_FOLDER COMMAND [PATH ...]
#
# The console goes to a private temporary file (fetched byte for byte, as file
# names on Linux need not be text). Prints, one per line:
#   status N            tavrin's exit status
#   console FILE SIZE   the console file and its size in bytes (removed when empty)
#   first LINE          the console's first line, printable ASCII only
#   new NAME            each result file of COMMAND that appeared during the run
#   error LINE          each line tavrin wrote to standard error (why a run could
#                       not do all it was asked), control characters left out
set -u
program=$1 folder=$2 command=$3
shift 3
case $command in
  list) suffix=badFiles.txt ;;
  repair) suffix=couldNotFix.txt ;;
  listall) suffix=allFiles.txt ;;
  *) echo "unknown command: $command" >&2; exit 2 ;;
esac

# Names of the form <tick digits><suffix>, one per line; a glob loop so that
# no other name in the folder can pass for one.
results() {
  for file in "$folder"/*"$suffix"; do
    [ -f "$file" ] && [ ! -L "$file" ] || continue
    name=${file##*/}
    tick=${name%"$suffix"}
    case $tick in
      '' | - | *[!0-9-]* | ?*-*) continue ;;
    esac
    printf '%s\n' "$name"
  done
}

# Another play on this host waits here, so its result file is never taken for ours.
if [ -d "$folder" ] && command -v flock >/dev/null 2>&1; then
  exec 9<"$folder" && flock 9
fi

console=$(mktemp) || exit 1
errors=$(mktemp) || exit 1
before=$(results)
"$program" "$command" "$@" >"$console" 2>"$errors"
status=$?
after=$(results)

size=$(wc -c <"$console")
[ "$size" -gt 0 ] || rm -f "$console"  # only a console with text is fetched

echo "status $status"
echo "console $console $size"
echo "first $(head -n 1 "$console" | head -c 1000 | LC_ALL=C tr -d '\n' | LC_ALL=C tr -c ' -~' '?')"
printf '%s\n' "$after" | while IFS= read -r name; do
  [ -n "$name" ] || continue
  printf '%s\n' "$before" | grep -qxF -- "$name" || echo "new $name"
done
LC_ALL=C tr -d '\000-\011\013-\037\177' <"$errors" | head -n 50 | while IFS= read -r line || [ -n "$line" ]; do
  echo "error $line"
done
rm -f "$errors"
exit 0
