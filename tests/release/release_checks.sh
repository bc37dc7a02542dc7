#!/usr/bin/env bash
# Checks of the release artifacts. One part per CTest case:
#   build    clones the current commit twice into different folders, runs
#            scripts/release.sh in each, and requires identical bytes; an
#            unsigned build says so
#   deb      lintian --pedantic with no tag, the package's fields, files and
#            maintainer scripts, --version from it
#   man      the man page is lint-clean, renders, and names every command
#   zip      the zip's members and line ends, tavrin.exe --version under Wine
#   sums     SHA256SUMS checks
#   install  cmake --install of BUILD_DIR puts the program and man page in place
# Usage: release_checks.sh PART SOURCE_DIR WORK_DIR VERSION [BUILD_DIR]
# Exits 77 with its reason when a tool it needs is missing.
set -euo pipefail

part=$1 source=$2 work=$3 version=$4
dist=$work/one/tavrin/dist
deb=$dist/tavrin_${version}_amd64.deb
zip=$dist/tavrin-${version}-win64.zip
artifacts="tavrin_${version}_amd64.deb tavrin-${version}-win64.zip tavrin-${version}-x64.msi tavrin-${version}-ansible.tar.gz"

skip() { echo "SKIP: $*"; exit 77; }
# A progress line: in the output, and on the terminal ctest was started from
# as it happens (ctest shows the output only when the test has ended).
say() {
  echo "$*"
  { printf '    release: %s\n' "$*" >/dev/tty; } 2>/dev/null || true
}
fail() { echo "FAIL: $*"; failed=1; }
failed=0
need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (bash scripts/test.sh installs it as root)"
  done
}
need_artifacts() {
  [ -f "$dist/SHA256SUMS" ] || skip "no artifacts: the case release.reproducible did not build them"
}

# Both builds, from fresh clones of HEAD in folders of different depths.
part_build() {
  need git cmake g++ x86_64-w64-mingw32-g++-posix dpkg-deb dpkg-shlibdeps zip python3 wixl msibuild osslsigncode
  git -C "$source" rev-parse --verify -q HEAD >/dev/null || skip "$source is not a git checkout"
  local commit
  commit=$(git -C "$source" rev-parse HEAD)
  if [ -n "$(git -C "$source" status --porcelain --untracked-files=no)" ]; then
    echo "note: uncommitted changes are not part of this check; it builds $commit"
  fi
  rm -rf "$work/one" "$work/two"
  local clone started
  for clone in "$work/one/tavrin" "$work/two/a/longer/path/tavrin"; do
    git clone -q --no-checkout "$source" "$clone"
    git -C "$clone" fetch -q "$source" "$commit"
    git -C "$clone" checkout -q --detach "$commit"
    started=$SECONDS
    say "building the release in $clone"
    (cd "$clone" && env -u SOURCE_DATE_EPOCH bash scripts/release.sh >release.log 2>&1) || {
      cat "$clone/release.log"; echo "FAIL: scripts/release.sh in $clone"; exit 1; }
    say "built in $clone in $((SECONDS - started)) s"
  done
  local name
  for name in $artifacts SHA256SUMS; do
    [ -f "$work/one/tavrin/dist/$name" ] || { fail "dist/$name is missing"; continue; }
    if cmp "$work/one/tavrin/dist/$name" "$work/two/a/longer/path/tavrin/dist/$name"; then
      echo "identical: $name"
    else
      fail "$name differs between the two builds"
    fi
  done
  [ "$(ls "$work/one/tavrin/dist" | LC_ALL=C sort | tr '\n' ' ')" = \
    "SHA256SUMS tavrin-${version}-ansible.tar.gz tavrin-${version}-win64.zip tavrin-${version}-x64.msi tavrin_${version}_amd64.deb " ] ||
    fail "dist/ holds: $(ls "$work/one/tavrin/dist")"
  grep -qx '== signing: none, the artifacts are unsigned (--sign-cert and --sign-key sign them)' \
    "$work/one/tavrin/release.log" || fail "release.sh does not say that the artifacts are unsigned"
  grep -qx '== unsigned: tavrin.exe and the installer carry no signature' "$work/one/tavrin/release.log" ||
    fail "release.sh does not end saying that the artifacts are unsigned"
}

part_deb() {
  need_artifacts
  need lintian dpkg-deb
  local tags
  tags=$(lintian --pedantic "$deb" 2>/dev/null) || true
  [ -z "$tags" ] || fail "lintian --pedantic:
$tags"

  local field expected
  for field in "Package: tavrin" "Version: $version" "Architecture: amd64" "Recommends: ntfs-3g"; do
    dpkg-deb -f "$deb" "${field%%:*}" | grep -qx "${field#*: }" || fail "control field $field"
  done
  dpkg-deb -f "$deb" Depends | grep -q '^libc6 (>= ' || fail "Depends does not name libc6"

  expected="drwxr-xr-x root/root ./
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/tavrin
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/tavrin/
-rw-r--r-- root/root ./usr/share/doc/tavrin/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/tavrin/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/tavrin.1.gz"
  [ "$(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}')" = "$expected" ] ||
    fail "package contents: $(dpkg-deb -c "$deb")"

  # The tool folder is made by postinst, kept by remove, deleted by purge when empty.
  local control=$work/deb-control script
  rm -rf "$control" && dpkg-deb -e "$deb" "$control"
  [ "$(cd "$control" && ls | tr '\n' ' ')" = "control md5sums postinst postrm " ] ||
    fail "control members: $(ls "$control")"
  for script in postinst postrm; do
    [ "$(stat -c %a "$control/$script")" = 755 ] || fail "$script is not mode 0755"
    cmp -s "$control/$script" "$source/packaging/$script" || fail "$script differs from packaging/$script"
  done
  grep -q 'install -d -m 0750 -o root -g root /var/lib/Norvane/Wickline' "$control/postinst" ||
    fail "postinst does not make the tool folder 0750"

  local root=$work/deb
  rm -rf "$root" && mkdir -p "$root" && dpkg-deb -x "$deb" "$root"
  [ "$("$root/usr/bin/tavrin" --version | od -An -c | tr -s ' ')" = \
    "$(printf 'tavrin %s\n' "$version" | od -An -c | tr -s ' ')" ] ||
    fail "usr/bin/tavrin --version says: $("$root/usr/bin/tavrin" --version)"
  local copyright=$root/usr/share/doc/tavrin/copyright
  head -1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "copyright is not in the machine-readable format"
  grep -q '^Copyright: .* the tavrin authors$' "$copyright" || fail "copyright names no holder"
  grep -q '^ Permission is hereby granted' "$copyright" || fail "copyright lacks the license text"
  zcat "$root/usr/share/doc/tavrin/changelog.gz" | head -1 | grep -q "^tavrin ($version) " ||
    fail "the changelog does not start at $version"
}

part_man() {
  need_artifacts
  need mandoc dpkg-deb
  local root=$work/man page lint
  rm -rf "$root" && mkdir -p "$root" && dpkg-deb -x "$deb" "$root"
  page=$root/usr/share/man/man1/tavrin.1.gz
  lint=$(zcat "$page" | mandoc -T lint -W all 2>&1) || true
  [ -z "$lint" ] || fail "mandoc -T lint: $lint"
  local text
  text=$(zcat "$page" | mandoc -T utf8 | col -b)
  [ "$(wc -l <<<"$text")" -gt 100 ] || fail "the rendered page is only $(wc -l <<<"$text") lines"
  local synopsis command
  synopsis=$(sed -n '/^SYNOPSIS/,/^DESCRIPTION/p' <<<"$text")
  for command in list repair listall set --version; do
    grep -q "^ *tavrin $command\b" <<<"$synopsis" || fail "the synopsis does not name $command"
  done
  # The usage text, line by line, as the program prints it.
  local line
  while IFS= read -r line; do
    line=$(sed 's/^\t*//' <<<"$line")
    [ -z "$line" ] || grep -qF -- "$line" <<<"$text" || fail "usage line not in the page: $line"
  done < <("$root/usr/bin/tavrin")
}

part_zip() {
  need_artifacts
  need unzip
  local root=$work/zip
  rm -rf "$root" && mkdir -p "$root" && unzip -q "$zip" -d "$root"
  [ "$(unzip -Z1 "$zip" | tr '\n' ' ')" = "LICENSE.txt README.txt tavrin.exe " ] ||
    fail "zip members: $(unzip -Z1 "$zip")"
  local name
  for name in README.txt LICENSE.txt; do
    grep -qv $'\r$' "$root/$name" && fail "$name has lines without CRLF"
  done
  grep -q 'C:\\ProgramData\\Norvane\\Wickline' "$root/README.txt" ||
    fail "README.txt does not name the tool folder"
  grep -q "tavrin-$version-win64.zip" "$root/README.txt" || fail "README.txt has no version"
  command -v wine >/dev/null || { echo "SKIP part: wine is not installed, tavrin.exe not run"; return; }
  # A private prefix, made on the first run (about 10 s).
  local said
  said=$(env -u DISPLAY -u WAYLAND_DISPLAY HOME="$root" WINEPREFIX="$root/prefix" \
    WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wine "$root/tavrin.exe" --version 2>/dev/null |
    od -An -c | tr -s ' ')
  env HOME="$root" WINEPREFIX="$root/prefix" wineserver -k 2>/dev/null || true
  rm -rf "$root/prefix"  # hundreds of MB
  [ "$said" = "$(printf 'tavrin %s\r\n' "$version" | od -An -c | tr -s ' ')" ] ||
    fail "tavrin.exe --version under Wine says:$said"
}

part_sums() {
  need_artifacts
  (cd "$dist" && sha256sum --check --strict SHA256SUMS) || fail "SHA256SUMS does not check"
  [ "$(cut -d' ' -f3 "$dist/SHA256SUMS" | tr '\n' ' ')" = "$artifacts " ] ||
    fail "SHA256SUMS lists other files"
}

# The playbook archive holds deploy/ansible of the commit, under tavrin-<version>-ansible/.
part_ansible() {
  need_artifacts
  local root=$work/ansible clone=$work/one/tavrin name
  rm -rf "$root" && mkdir -p "$root"
  tar -xzf "$dist/tavrin-${version}-ansible.tar.gz" -C "$root"
  [ "$(ls "$root")" = "tavrin-${version}-ansible" ] || fail "the archive's top folder: $(ls "$root")"
  [ "$(cd "$root/tavrin-${version}-ansible" && find . -type f | sed 's,^\./,,' | LC_ALL=C sort)" = \
    "$(git -C "$clone" ls-files deploy/ansible | sed 's,^deploy/ansible/,,' | LC_ALL=C sort)" ] ||
    fail "the archive's files are not those of deploy/ansible"
  while IFS= read -r name; do
    cmp -s "$clone/deploy/ansible/$name" "$root/tavrin-${version}-ansible/$name" || fail "$name differs"
  done < <(git -C "$clone" ls-files deploy/ansible | sed 's,^deploy/ansible/,,')
  [ -x "$root/tavrin-${version}-ansible/files/run_tavrin.sh" ] || fail "files/run_tavrin.sh lost its mode"
}

part_install() {
  local build=$5 prefix=$work/install
  rm -rf "$prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "FAIL: cmake --install"; exit 1; }
  [ "$("$prefix/bin/tavrin" --version)" = "tavrin $version" ] || fail "bin/tavrin --version"
  cmp "$source/packaging/tavrin.1" "$prefix/share/man/man1/tavrin.1" || fail "share/man/man1/tavrin.1"
}

"part_$part" "$@"
exit "$failed"
