#!/usr/bin/env bash
# A long soak of the property tests: N random volumes (default 500) from a
# first seed (default: from the clock), on the linux preset's build. As root.
#   scripts/soak.sh N [FIRST]
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-500}
first=${2:-$(( $(date +%s) % 1000000 * 1000 ))}
cmake --preset linux >/dev/null && cmake --build --preset linux -j2 >/dev/null
exec /usr/bin/python3 tests/property/property_test.py build/linux/tavrin --seeds "$count" --first "$first"
