#!/usr/bin/env bash
# Builds tavrin and runs every test: the unit tests (also under AddressSanitizer
# and UndefinedBehaviorSanitizer), the NTFS suites of the Linux program (ntfs-3g,
# and the kernel's ntfs3 in a qemu VM), the fleet playbook
# (deploy/ansible), tavrin.exe and the unit tests under Wine, a short run of
# each fuzz target, the property tests, and the release
# checks (two release builds from fresh clones, compared byte for byte, then
# lintian, man page, zip, the Windows installer under Wine, signing, the .deb
# on a fresh Debian 12 root). Run as root on a fresh Debian machine, it first
# installs what is missing. It ends with "passed", or "passed; skipped: ..."
# with each skipped suite's reason, and the time the whole run took. Every
# step (and every package installed) prints a line as it goes.
set -uo pipefail
cd "$(dirname "$0")/.."
started_all=$SECONDS

packages=(cmake g++ make libgtest-dev googletest python3 ntfs-3g attr fuse3 util-linux tmux
          qemu-system-x86 busybox-static
          mingw-w64 g++-mingw-w64-x86-64-posix wine64 wine clang libclang-rt-dev
          git dpkg-dev lintian mandoc bsdextrautils zip unzip
          wixl msitools osslsigncode openssl debootstrap
          ansible ansible-lint python3-libfsntfs forensics-samples-ntfs gdb)
step_started=$SECONDS
bash scripts/install_packages.sh "${packages[@]}" || echo "== could not install all packages; the suites that need them skip"
echo "== packages: $((SECONDS - step_started)) s"

failed=()
skipped=()
step() {
  local name=$1 started=$SECONDS; shift
  echo "== $name"
  "$@" || failed+=("$name")
  echo "== $name: $((SECONDS - started)) s"
}
# ctest with a JUnit report, from which the skips and their reasons are read.
reports=()
run_ctest() {
  local report=$PWD/build/$1-$2.junit.xml; shift 2
  rm -f "$report"
  reports+=("$report")
  ctest --output-junit "$report" "$@"
}

step "linux: build" bash -c 'cmake --preset linux >/dev/null && cmake --build --preset linux -j2'
step "linux: unit, NTFS, ntfs3 and fleet tests" run_ctest linux tests --preset linux -LE release
step "sanitizers: build" bash -c 'cmake --preset linux-asan >/dev/null && cmake --build --preset linux-asan -j2'
step "sanitizers: unit tests" run_ctest linux-asan tests --preset linux-asan
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  step "mingw: build tavrin.exe and the unit tests" bash -c 'cmake --preset mingw >/dev/null && cmake --build --preset mingw -j2'
  step "mingw: unit and end-to-end tests under Wine" run_ctest mingw tests --preset mingw
else
  echo "== mingw: skipped, no MinGW-w64 compiler (install mingw-w64 as root)"
  skipped+=("Wine suite (no MinGW-w64 compiler to build tavrin.exe)")
fi
if command -v clang++ >/dev/null; then
  step "fuzz: build, then each target for 20 s" scripts/fuzz.sh --seconds 20
else
  skipped+=("fuzz targets (no clang++; install clang as root)")
fi
step "release: two release builds from fresh clones, then their checks" \
  run_ctest linux release --preset linux -L release
while IFS= read -r line; do skipped+=("$line"); done < <(python3 scripts/ctest_skips.py "${reports[@]}")
for line in "${skipped[@]}"; do echo "== skipped: $line"; done
total=$((SECONDS - started_all))
echo "== total: $((total / 60)) min $((total % 60)) s"
if [ ${#failed[@]} -gt 0 ]; then
  printf '== FAILED: %s\n' "${failed[@]}"
  exit 1
fi
if [ ${#skipped[@]} -gt 0 ]; then
  summary=$(printf '; %s' "${skipped[@]}")
  echo "== passed; skipped: ${summary:2}"
else
  echo "== passed"
fi
