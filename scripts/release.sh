#!/usr/bin/env bash
# Builds the release artifacts from this checkout into dist/:
#   tavrin_<version>_amd64.deb   the Linux program, its man page, copyright and changelog
#   tavrin-<version>-win64.zip   tavrin.exe, README.txt (CRLF) and LICENSE.txt
#   SHA256SUMS                   over both
# The bytes depend only on the committed sources: SOURCE_DATE_EPOCH is the
# last commit's time, build paths are mapped away, the PE header carries no
# time stamp, and archive members are sorted with fixed times, modes and owners.
# Run as root on a fresh Debian machine, it first installs what is missing.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
die() { echo "release: $*" >&2; exit 1; }

packages=(cmake g++ make binutils git dpkg-dev zip
          mingw-w64 g++-mingw-w64-x86-64-posix)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || die "missing packages (run as root to install them): ${missing[*]}"
  echo "== installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct 2>/dev/null) ||
    die "not a git checkout: set SOURCE_DATE_EPOCH"
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
umask 022
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  echo "== note: the checkout has uncommitted changes; they are built in"
fi

# Paths under the checkout appear as "." in the binaries.
prefix_map="-ffile-prefix-map=$repo=."
hardening="-D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection -fcf-protection"
build_linux=$repo/build/release-linux
build_mingw=$repo/build/release-mingw
dist=$repo/dist

echo "== linux: build/release-linux"
cmake -S "$repo" -B "$build_linux" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DTAVRIN_WERROR=ON -DCMAKE_CXX_FLAGS="$prefix_map $hardening" \
  -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" >/dev/null
cmake --build "$build_linux" --target tavrin -j2 >/dev/null

echo "== mingw: build/release-mingw"
cmake -S "$repo" -B "$build_mingw" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DTAVRIN_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/x86_64-w64-mingw32.cmake" \
  -DCMAKE_CXX_FLAGS="$prefix_map" -DCMAKE_EXE_LINKER_FLAGS="-s -Wl,--no-insert-timestamp" \
  >/dev/null
cmake --build "$build_mingw" --target tavrin -j2 >/dev/null

# The version comes from project(VERSION), through the program itself.
version=$("$build_linux/tavrin" --version | sed -n 's/^tavrin //p')
[ -n "$version" ] || die "the program did not tell its version"
changelog_version=$(sed -n '1s/^tavrin (\([^)]*\)).*/\1/p' packaging/changelog)
[ "$changelog_version" = "$version" ] ||
  die "packaging/changelog starts at $changelog_version, the program is $version: add an entry"

rm -rf "$dist"
mkdir -p "$dist"

# Gives every file and folder under $1 the release time.
stamp() { find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +; }

echo "== tavrin_${version}_amd64.deb"
root=$build_linux/deb-root
rm -rf "$root"
install -d "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" "$root/usr/share/doc/tavrin"
install -m 0755 "$build_linux/tavrin" "$root/usr/bin/tavrin"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/tavrin"
gzip -9n <packaging/tavrin.1 >"$root/usr/share/man/man1/tavrin.1.gz"
gzip -9n <packaging/changelog >"$root/usr/share/doc/tavrin/changelog.gz"
{ cat packaging/copyright.in; sed -n '/^Permission/,$p' LICENSE | sed 's/^$/./; s/^/ /'; } \
  >"$root/usr/share/doc/tavrin/copyright"
chmod 0644 "$root/usr/share/man/man1/tavrin.1.gz" "$root/usr/share/doc/tavrin/"*
# Dependencies from the libraries the program links (libc, libstdc++, libgcc).
shlibs=$build_linux/shlibdeps
rm -rf "$shlibs" && mkdir -p "$shlibs/debian"
printf 'Source: tavrin\n\nPackage: tavrin\nArchitecture: amd64\n' >"$shlibs/debian/control"
depends=$(cd "$shlibs" && dpkg-shlibdeps -O "$root/usr/bin/tavrin" | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || die "dpkg-shlibdeps computed no dependencies"
(cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
installed_size=$(du -sk --apparent-size "$root/usr" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@INSTALLED_SIZE@/$installed_size/" \
  -e "s/@DEPENDS@/$depends/" packaging/control.in >"$root/DEBIAN/control"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
stamp "$root"
dpkg-deb --root-owner-group -Zxz --build "$root" "$dist/tavrin_${version}_amd64.deb" >/dev/null

echo "== tavrin-${version}-win64.zip"
zipdir=$build_mingw/zip-root
rm -rf "$zipdir" && mkdir -p "$zipdir"
install -m 0644 "$build_mingw/tavrin.exe" "$zipdir/tavrin.exe"
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' packaging/README-windows.txt >"$zipdir/README.txt"
sed -e 's/$/\r/' LICENSE >"$zipdir/LICENSE.txt"
chmod 0644 "$zipdir"/*
stamp "$zipdir"
# -X: no extra fields (owners, extended times); names in C order.
(cd "$zipdir" && zip -X -D -9 -q "$dist/tavrin-${version}-win64.zip" $(ls | sort))

(cd "$dist" && sha256sum "tavrin_${version}_amd64.deb" "tavrin-${version}-win64.zip" >SHA256SUMS)
echo "== dist/"
(cd "$dist" && cat SHA256SUMS)
