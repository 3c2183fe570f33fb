#!/bin/sh
# Reproduces docs/screenshots/*.png under Xvfb:
#  - the two dialogs, the tray menu and the stand-in control window, grabbed
#    by the screenshot mode of the desktop tests;
#  - desktop.png: the real lumbra on a bare X server (no notification area,
#    so its control window stands in for the tray icon).
# Needs: xvfb xauth imagemagick fonts-noto-cjk, and a build in $BUILD
# (default: build) with the desktop program.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
OUT=$ROOT/docs/screenshots
mkdir -p "$OUT"

xvfb-run -a -s "-screen 0 800x600x24" env QT_QPA_PLATFORM=xcb LUMBRA_SCREENSHOT_DIR="$OUT" \
    "$BUILD/tests/gui_screenshots"

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/home" "$WORK/cfg"
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/cfg" LUMBRA_ADAPTERS="eth0=192.168.0.10"
# The stored address is no address of this machine: the server stays stopped.
"$BUILD/lumbra-ftpd" --save --bind 192.168.0.10 --port 2121 --home "$WORK/scans" \
    --anonymous
xvfb-run -a -s "-screen 0 640x480x24" sh -c '
    env QT_QPA_PLATFORM=xcb "$1/lumbra" & pid=$!
    sleep 3
    import -window root "$2/desktop-full.png"
    kill -TERM $pid
    wait $pid' sh "$BUILD" "$WORK"
convert "$WORK/desktop-full.png" -trim +repage "$OUT/desktop.png"
echo "screenshots in $OUT"
