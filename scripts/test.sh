#!/usr/bin/env bash
# Builds tavrin and runs every test: the unit tests (also under AddressSanitizer
# and UndefinedBehaviorSanitizer), the NTFS suite and the property tests of
# the Linux program, tavrin.exe and the unit tests under Wine, and a short
# run of each fuzz target. Run as root on a fresh Debian machine, it first
# installs what is missing.
set -uo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev googletest python3 ntfs-3g attr fuse3 util-linux
          mingw-w64 g++-mingw-w64-x86-64-posix wine64 wine clang libclang-rt-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "== installing: ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null ||
      echo "== could not install all of: ${missing[*]}"
  else
    echo "== not root, not installing: ${missing[*]}"
  fi
fi

failed=()
step() {
  local name=$1; shift
  echo "== $name"
  "$@" || failed+=("$name")
}

step "linux: build" bash -c 'cmake --preset linux >/dev/null && cmake --build --preset linux -j2'
step "linux: unit and NTFS tests" ctest --preset linux
step "sanitizers: build" bash -c 'cmake --preset linux-asan >/dev/null && cmake --build --preset linux-asan -j2'
step "sanitizers: unit tests" ctest --preset linux-asan
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  step "mingw: build tavrin.exe and the unit tests" bash -c 'cmake --preset mingw >/dev/null && cmake --build --preset mingw -j2'
  step "mingw: unit and end-to-end tests under Wine" ctest --preset mingw
else
  echo "== mingw: skipped, no MinGW-w64 compiler (install mingw-w64 as root)"
fi

if command -v clang++ >/dev/null; then
  step "fuzz: build, then each target for 20 s" scripts/fuzz.sh --seconds 20
else
  echo "== fuzz: skipped, no clang++ (install clang as root)"
fi

if [ ${#failed[@]} -gt 0 ]; then
  printf '== FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "== all steps passed"
