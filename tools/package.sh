#!/usr/bin/env bash
# Builds the Debian packages lumbra-ftpd (the server) and orvello (the tray
# program) from debian/ with dpkg-buildpackage, puts them into dist/ and
# checks them with lintian --pedantic: an error or a warning fails.
# Installs what the build needs where it is missing (as root, or through
# sudo). The build runs on a copy of the sources in build-deb/, where
# dpkg-buildpackage also leaves its other products; it compiles the
# project once more (minutes). Usage: bash tools/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$ROOT/build-deb
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive

install_build_tools() {
  local missing=()
  command -v dpkg-buildpackage > /dev/null || missing+=(dpkg-dev)
  command -v lintian > /dev/null || missing+=(lintian)
  command -v appstreamcli > /dev/null || missing+=(appstream)
  command -v desktop-file-validate > /dev/null || missing+=(desktop-file-utils)
  if [ ${#missing[@]} -gt 0 ]; then
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
  fi
  dpkg-checkbuilddeps 2> /dev/null ||
    $SUDO apt-get build-dep -y -qq --no-install-recommends ./ > /dev/null
}

# The sources as the working tree has them (uncommitted changes included),
# without build products.
copy_sources() {
  local dest=$1
  rm -rf "$dest"
  mkdir -p "$dest"
  if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard |
      tar --null --files-from=- --ignore-failed-read -cf - 2> /dev/null | tar -xf - -C "$dest"
  else
    tar --exclude='./build*' --exclude=./dist --exclude='./obj-*' -cf - . | tar -xf - -C "$dest"
  fi
}

install_build_tools
VERSION=$(dpkg-parsechangelog -S Version)
SRC=$WORK/orvello-$VERSION
copy_sources "$SRC"
rm -f "$WORK"/*.deb "$WORK"/*.ddeb "$WORK"/*.changes "$WORK"/*.buildinfo

# ccache, where installed, with the user's own cache (debhelper gives the
# build a home folder of its own): rebuilds of unchanged sources are short.
if command -v ccache > /dev/null; then
  CCACHE_DIR=${CCACHE_DIR:-$(ccache --get-config cache_dir)}
  export CCACHE_DIR CCACHE_BASEDIR=$SRC
fi
(cd "$SRC" && dpkg-buildpackage -b -us -uc)

mkdir -p dist
rm -f dist/*.deb
ARCH=$(dpkg --print-architecture)
DEBS=(dist/lumbra-ftpd_"${VERSION}"_"$ARCH".deb dist/orvello_"${VERSION}"_"$ARCH".deb)
cp "${DEBS[@]/#dist/$WORK}" dist/

# The desktop entry and the AppStream metadata as installed.
rm -rf "$WORK/orvello-files"
dpkg-deb -x "${DEBS[1]}" "$WORK/orvello-files"
desktop-file-validate "$WORK"/orvello-files/usr/share/applications/*.desktop
appstreamcli validate --no-net "$WORK"/orvello-files/usr/share/metainfo/*.xml

lintian --info --pedantic --fail-on error,warning "${DEBS[@]}"
printf '%s\n' "${DEBS[@]}"
