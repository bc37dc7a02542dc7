#!/usr/bin/env bash
# Builds the release artifacts from this checkout into dist/:
#   tavrin_<version>_amd64.deb      the Linux program, its man page, copyright and
#                                   changelog; it makes the tool folder
#   tavrin-<version>-win64.zip      tavrin.exe, README.txt (CRLF) and LICENSE.txt
#   tavrin-<version>-x64.msi        the Windows installer (packaging/msi/)
#   tavrin-<version>-ansible.tar.gz the fleet playbook (deploy/ansible)
#   SHA256SUMS                      over all four
# The bytes depend only on the committed sources: SOURCE_DATE_EPOCH is the
# last commit's time, build paths are mapped away, the PE header carries no
# time stamp, and archive members are sorted with fixed times, modes and owners.
#
# Signing (Authenticode, with osslsigncode) of tavrin.exe, in the zip and the
# installer, and of the installer itself:
#   scripts/release.sh --sign-cert CERT.pem --sign-key KEY.pem
#                      [--sign-pass-file FILE] [--timestamp URL]
# or the same from TAVRIN_SIGN_CERT, TAVRIN_SIGN_KEY, TAVRIN_SIGN_PASS_FILE and
# TAVRIN_TIMESTAMP_URL. CERT holds the certificate and its chain (PEM or DER),
# KEY the private key; keep both outside the checkout. With a URL, each
# signature gets an RFC 3161 time stamp from it. Without a certificate the
# artifacts are unsigned, and the script says so.
#
# Run as root on a fresh Debian machine, it first installs what is missing.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
die() { echo "release: $*" >&2; exit 1; }

sign_cert=${TAVRIN_SIGN_CERT:-} sign_key=${TAVRIN_SIGN_KEY:-}
sign_pass=${TAVRIN_SIGN_PASS_FILE:-} timestamp_url=${TAVRIN_TIMESTAMP_URL:-}
while [ $# -gt 0 ]; do
  case $1 in
    --sign-cert) sign_cert=${2:?--sign-cert FILE}; shift 2 ;;
    --sign-key) sign_key=${2:?--sign-key FILE}; shift 2 ;;
    --sign-pass-file) sign_pass=${2:?--sign-pass-file FILE}; shift 2 ;;
    --timestamp) timestamp_url=${2:?--timestamp URL}; shift 2 ;;
    *) die "unknown argument $1 (see the comment at the top of scripts/release.sh)" ;;
  esac
done
if [ -n "$sign_cert$sign_key" ]; then
  [ -n "$sign_cert" ] && [ -n "$sign_key" ] || die "signing needs both a certificate and a key"
  [ -r "$sign_cert" ] || die "cannot read the certificate $sign_cert"
  [ -r "$sign_key" ] || die "cannot read the key $sign_key"
  [ -z "$sign_pass" ] || [ -r "$sign_pass" ] || die "cannot read the pass file $sign_pass"
  sign_cert=$(realpath "$sign_cert") sign_key=$(realpath "$sign_key")
  [ -z "$sign_pass" ] || sign_pass=$(realpath "$sign_pass")
else
  [ -z "$sign_pass$timestamp_url" ] || die "--sign-pass-file and --timestamp need --sign-cert and --sign-key"
fi

bash "$repo/scripts/install_packages.sh" cmake g++ make binutils git dpkg-dev zip python3 \
  mingw-w64 g++-mingw-w64-x86-64-posix wixl msitools osslsigncode ||
  die "packages are missing (run as root to install them)"

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
started=$SECONDS

# The build's own progress lines ("[ 40%] Building CXX object ...").
echo "== linux: build/release-linux"
cmake -S "$repo" -B "$build_linux" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DTAVRIN_WERROR=ON -DCMAKE_CXX_FLAGS="$prefix_map $hardening" \
  -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" >/dev/null
cmake --build "$build_linux" --target tavrin -j2

echo "== mingw: build/release-mingw"
cmake -S "$repo" -B "$build_mingw" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DTAVRIN_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/x86_64-w64-mingw32.cmake" \
  -DCMAKE_CXX_FLAGS="$prefix_map" -DCMAKE_EXE_LINKER_FLAGS="-s -Wl,--no-insert-timestamp" \
  >/dev/null
cmake --build "$build_mingw" --target tavrin -j2

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

# sign IN OUT: an Authenticode signature (SHA-256) on a PE or MSI file.
sign() {
  local args=(sign -certs "$sign_cert" -key "$sign_key" -h sha256 -n tavrin)
  [ -z "$sign_pass" ] || args+=(-readpass "$sign_pass")
  [ -z "$timestamp_url" ] || args+=(-ts "$timestamp_url")
  rm -f "$2"
  osslsigncode "${args[@]}" -in "$1" -out "$2" >/dev/null || die "osslsigncode could not sign $1"
}

exe=$build_mingw/tavrin.exe
if [ -n "$sign_cert" ]; then
  echo "== signing: with $sign_cert${timestamp_url:+, time stamp from $timestamp_url}"
  sign "$build_mingw/tavrin.exe" "$build_mingw/tavrin-signed.exe"
  exe=$build_mingw/tavrin-signed.exe
else
  echo "== signing: none, the artifacts are unsigned (--sign-cert and --sign-key sign them)"
fi

echo "== tavrin_${version}_amd64.deb"
bash packaging/make_deb.sh "$build_linux/tavrin" "$version" "$build_linux" \
  "$dist/tavrin_${version}_amd64.deb"

echo "== tavrin-${version}-win64.zip"
zipdir=$build_mingw/zip-root
rm -rf "$zipdir" && mkdir -p "$zipdir"
install -m 0644 "$exe" "$zipdir/tavrin.exe"
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' packaging/README-windows.txt >"$zipdir/README.txt"
sed -e 's/$/\r/' LICENSE >"$zipdir/LICENSE.txt"
chmod 0644 "$zipdir"/*
stamp "$zipdir"
# -X: no extra fields (owners, extended times); names in C order.
(cd "$zipdir" && zip -X -D -9 -q "$dist/tavrin-${version}-win64.zip" $(ls | sort))

echo "== tavrin-${version}-x64.msi"
msi=$dist/tavrin-${version}-x64.msi
python3 packaging/msi/build_msi.py "$exe" "$version" "$SOURCE_DATE_EPOCH" "$build_mingw/tavrin.msi"
if [ -n "$sign_cert" ]; then
  sign "$build_mingw/tavrin.msi" "$msi"
else
  cp "$build_mingw/tavrin.msi" "$msi"
fi

echo "== tavrin-${version}-ansible.tar.gz"
# The playbook's files that git knows (no stray files), sorted, with fixed times and owners.
git -C "$repo" ls-files -z deploy/ansible |
  tar --null --files-from=- --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 \
    --numeric-owner --mode=u+rw,go+r,go-w --format=gnu \
    --transform="s,^deploy/ansible,tavrin-${version}-ansible," -cf - |
  gzip -9n >"$dist/tavrin-${version}-ansible.tar.gz"

artifacts=("tavrin_${version}_amd64.deb" "tavrin-${version}-win64.zip" "tavrin-${version}-x64.msi"
           "tavrin-${version}-ansible.tar.gz")
(cd "$dist" && sha256sum "${artifacts[@]}" >SHA256SUMS)
echo "== dist/ ($((SECONDS - started)) s)"
(cd "$dist" && cat SHA256SUMS)
if [ -z "$sign_cert" ]; then
  echo "== unsigned: tavrin.exe and the installer carry no signature"
fi
