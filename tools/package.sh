#!/usr/bin/env bash
# Builds the Debian package dist/orvello_<version>_<arch>.deb with dpkg-deb:
# both programs in /usr/bin, the desktop entry, the icons (hicolor), the
# template unit lumbra-ftpd@.service, and maintainer scripts that grant
# cap_net_bind_service (a warning, not a failure, where that is impossible).
# Depends are worked out by dpkg-shlibdeps from the programs' libraries.
# Needs what tools/install-deps.sh installs. Usage: bash tools/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD:-$ROOT/build-package}
NAME=orvello
MAINTAINER=${MAINTAINER:-"Orvello developers <orvello@localhost>"}

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DBUILD_TESTING=OFF > /dev/null
cmake --build "$BUILD" --target lumbra lumbra-ftpd

VERSION=$(sed -n 's/^project(Orvello VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
ARCH=$(dpkg --print-architecture)
STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT
PKG=$STAGE/pkg
DESTDIR=$PKG cmake --install "$BUILD" --strip > /dev/null
install -D -m 644 'res/lumbra-ftpd@.service' "$PKG/lib/systemd/system/lumbra-ftpd@.service"
install -D -m 644 README.md "$PKG/usr/share/doc/$NAME/README.md"
install -d "$PKG/DEBIAN"
install -m 755 res/debian/postinst res/debian/prerm res/debian/postrm "$PKG/DEBIAN/"

desktop-file-validate "$PKG/usr/share/applications/lumbra.desktop"

# dpkg-shlibdeps reads the package's name from a control file in ./debian.
mkdir -p "$STAGE/src/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$NAME" "$NAME" > "$STAGE/src/debian/control"
LIBS=$(cd "$STAGE/src" && dpkg-shlibdeps -O "$PKG/usr/bin/lumbra" "$PKG/usr/bin/lumbra-ftpd" |
       sed -n 's/^shlibs:Depends=//p')
# Korean text needs the CJK fonts and Qt's Korean translation; the
# maintainer scripts need setcap.
DEPENDS="$LIBS, fonts-noto-cjk, qt6-translations-l10n, libcap2-bin"

cat > "$PKG/DEBIAN/control" <<CONTROL
Package: $NAME
Version: $VERSION
Architecture: $ARCH
Maintainer: $MAINTAINER
Installed-Size: $(du -sk --exclude=DEBIAN "$PKG" | cut -f1)
Depends: $DEPENDS
Section: net
Priority: optional
Description: scan to PC: an upload-only FTP server for network scanners
 Orvello lets a network scanner or multifunction printer store its scans on
 this PC over FTP. lumbra lives in the tray with Korean settings dialogs;
 lumbra-ftpd is the same server without a desktop, also as the service
 lumbra-ftpd@USER.
CONTROL

mkdir -p dist
rm -f dist/${NAME}_*_"$ARCH".deb
dpkg-deb --root-owner-group --build "$PKG" "dist/${NAME}_${VERSION}_${ARCH}.deb" > /dev/null
echo "dist/${NAME}_${VERSION}_${ARCH}.deb"
