#!/bin/sh
# Reproduces docs/screenshots/*.png under Xvfb:
#  - the two dialogs, the tray menu and the stand-in control window, grabbed
#    by the screenshot mode of the desktop tests;
#  - desktop.png: the real lumbra on a bare X server (no notification area,
#    so its control window stands in for the tray icon);
#  - message-box.png: the exit question with Qt's Korean buttons;
#  - notice.png: the real lumbra beside a tray (trayer) noticing three scans.
# Needs: xvfb xauth imagemagick fonts-noto-cjk qt6-translations-l10n trayer,
# python3, and a build in $BUILD
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

# notice.png: the real lumbra with an XEmbed tray (trayer) receives a scan
# over FTP on 127.0.0.1; the notice shows when the device's session ends.
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
LUMBRA_ADAPTERS="lo=127.0.0.1" "$BUILD/lumbra-ftpd" --save --bind 127.0.0.1 --port "$PORT" \
    --home "$HOME/VESK_SCAN" --anonymous --auto-start on
xvfb-run -a -s "-screen 0 640x400x24" sh -c '
    trayer --edge bottom --align right --widthtype pixel --width 64 --height 24 & tray=$!
    sleep 1
    env QT_QPA_PLATFORM=xcb LUMBRA_ADAPTERS=lo=127.0.0.1 "$1/lumbra" & pid=$!
    sleep 3
    python3 -c "
import ftplib, io, sys
ftp = ftplib.FTP()
ftp.connect(\"127.0.0.1\", int(sys.argv[1]), timeout=10)
ftp.login()
for page in (1, 2, 3):
    ftp.storbinary(\"STOR scan%04d.pdf\" % page, io.BytesIO(b\"%PDF-1.4\\n\" * 100))
ftp.quit()
" "$3"
    sleep 2
    import -window root "$2/notice-full.png"
    kill -TERM $pid
    wait $pid
    kill $tray' sh "$BUILD" "$WORK" "$PORT"
convert "$WORK/notice-full.png" -trim +repage "$OUT/notice.png"
echo "screenshots in $OUT"
