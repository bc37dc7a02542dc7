#!/usr/bin/env bash
# Makes tavrin_<version>_amd64.deb from a built Linux program:
#
#   packaging/make_deb.sh PROGRAM VERSION WORK_DIR OUTPUT_DEB
#
# The program (stripped), its man page, copyright and changelog, and the
# maintainer scripts that make the tool folder /var/lib/Norvane/Wickline
# (root, 0750) and remove it on purge when empty. Every file gets the time
# SOURCE_DATE_EPOCH (required), so equal inputs give equal bytes. Used by
# scripts/release.sh and by the fleet suite.
set -euo pipefail

die() { echo "make_deb: $*" >&2; exit 1; }
[ $# = 4 ] || die "usage: make_deb.sh PROGRAM VERSION WORK_DIR OUTPUT_DEB"
program=$1 version=$2 work=$3 output=$4
[ -n "${SOURCE_DATE_EPOCH:-}" ] || die "SOURCE_DATE_EPOCH is not set"
packaging=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$packaging")
umask 022

root=$work/deb-root
rm -rf "$root"
install -d "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" "$root/usr/share/doc/tavrin"
install -m 0755 "$program" "$root/usr/bin/tavrin"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/tavrin"
gzip -9n <"$packaging/tavrin.1" >"$root/usr/share/man/man1/tavrin.1.gz"
gzip -9n <"$packaging/changelog" >"$root/usr/share/doc/tavrin/changelog.gz"
{ cat "$packaging/copyright.in"; sed -n '/^Permission/,$p' "$repo/LICENSE" | sed 's/^$/./; s/^/ /'; } \
  >"$root/usr/share/doc/tavrin/copyright"
chmod 0644 "$root/usr/share/man/man1/tavrin.1.gz" "$root/usr/share/doc/tavrin/"*
install -m 0755 "$packaging/postinst" "$packaging/postrm" "$root/DEBIAN/"

# Dependencies from the libraries the program links (libc, libstdc++, libgcc).
shlibs=$work/shlibdeps
rm -rf "$shlibs" && mkdir -p "$shlibs/debian"
printf 'Source: tavrin\n\nPackage: tavrin\nArchitecture: amd64\n' >"$shlibs/debian/control"
depends=$(cd "$shlibs" && dpkg-shlibdeps -O "$root/usr/bin/tavrin" | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || die "dpkg-shlibdeps computed no dependencies"

(cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
installed_size=$(du -sk --apparent-size "$root/usr" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@INSTALLED_SIZE@/$installed_size/" \
  -e "s/@DEPENDS@/$depends/" "$packaging/control.in" >"$root/DEBIAN/control"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$root" "$output" >/dev/null
