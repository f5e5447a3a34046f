#!/usr/bin/env bash
# Builds the packages into build/packages/: the Debian package
# vardex-server_<version>_<arch>.deb from the release preset, and from the
# windows preset the Windows Installer package VardexServer-<version>.msi
# (for deployment by Group Policy, Intune or msiexec /qn) and the setup
# program VardexServer-<version>-setup.exe (for an installation by hand into
# a folder of one's choice).
# `scripts/package.sh deb` or `scripts/package.sh windows` builds one only.
set -euo pipefail
cd "$(dirname "$0")/.."
umask 022
what=${1:-all}
case "$what" in all | deb | windows) ;; *) echo "usage: $0 [deb|windows]" >&2; exit 2 ;; esac

version=$(sed -n 's/^project(VardexServer VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no project version in CMakeLists.txt" >&2; exit 1; }
out=build/packages
mkdir -p "$out"

build_deb() {
  local changelog_version
  changelog_version=$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)
  [ "$changelog_version" = "$version" ] ||
    { echo "packaging/debian/changelog is at $changelog_version, the project at $version" >&2; exit 1; }
  cmake --preset release >/dev/null
  cmake --build --preset release --target VardexServer vardex

  # dpkg-shlibdeps expects the tree of a source package: debian/control
  # beside the package's root.
  local work=build/package-deb
  local root=$work/debian/vardex-server
  rm -rf "$work"
  mkdir -p "$root/DEBIAN"
  : >"$work/debian/control"
  install -D -m 755 build/release/VardexServer "$root/opt/vardex/VardexServer"
  # A fresh install serves this machine only, and only its own directory,
  # until the operator says otherwise: the service starts at once, as root.
  sed -e '/^\[Server\]/,/^\[/{s|^Root=$|Root=/opt/vardex/files|;s|^BindAddress=$|BindAddress=127.0.0.1|}' \
    VardexServer.ini.example >"$root/opt/vardex/VardexServer.ini"
  [ "$(diff VardexServer.ini.example "$root/opt/vardex/VardexServer.ini" | grep -c '^>')" -eq 2 ] ||
    { echo "VardexServer.ini.example has no empty Root= and BindAddress= lines in [Server]" >&2; exit 1; }
  install -D -m 755 build/release/src/client/vardex "$root/usr/bin/vardex"
  strip --strip-unneeded --remove-section=.comment --remove-section=.note \
    "$root/opt/vardex/VardexServer" "$root/usr/bin/vardex"
  install -D -m 644 packaging/debian/VardexServerService.service "$root/lib/systemd/system/VardexServerService.service"
  install -D -m 644 packaging/debian/copyright "$root/usr/share/doc/vardex-server/copyright"
  gzip -9n <packaging/debian/changelog >"$root/usr/share/doc/vardex-server/changelog.gz"
  install -D -m 644 packaging/debian/lintian-overrides "$root/usr/share/lintian/overrides/vardex-server"

  install -m 755 packaging/debian/postinst packaging/debian/prerm packaging/debian/postrm "$root/DEBIAN/"
  install -m 644 packaging/debian/conffiles "$root/DEBIAN/"
  (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z | xargs -0 md5sum) \
    >"$root/DEBIAN/md5sums"
  local depends size arch
  depends=$(cd "$work" && dpkg-shlibdeps -O debian/vardex-server/opt/vardex/VardexServer debian/vardex-server/usr/bin/vardex)
  depends=${depends#shlibs:Depends=}
  size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
  arch=$(dpkg --print-architecture)
  sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
    packaging/debian/control.in >"$root/DEBIAN/control"
  dpkg-deb --root-owner-group --build "$root" "$out/vardex-server_${version}_${arch}.deb"
  # Warnings are shown; an error fails the build.
  lintian --allow-root --fail-on error "$out/vardex-server_${version}_${arch}.deb"
}

build_windows() {
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target VardexServer vardex
  local work=build/package-windows
  mkdir -p "$work"
  sed 's/\r*$/\r/' VardexServer.ini.example >"$work/VardexServer.ini.example"
  makensis -V2 -DVERSION="$version" -DBUILD_DIR="$PWD/build/windows" -DCONFIG="$PWD/$work/VardexServer.ini.example" \
    -DOUT_FILE="$PWD/$out/VardexServer-$version-setup.exe" packaging/windows/VardexServer.nsi
  # wixl takes the sources' paths relative to the working directory.
  wixl -a x64 -D Version="$version" -D BuildDir=build/windows -D ConfigDir="$work" \
    -o "$out/VardexServer-$version.msi" packaging/windows/VardexServer.wxs
  echo "$out/VardexServer-$version-setup.exe"
  echo "$out/VardexServer-$version.msi"
}

[ "$what" = windows ] || build_deb
[ "$what" = deb ] || build_windows
