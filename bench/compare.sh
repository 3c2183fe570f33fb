#!/usr/bin/env bash
# lumbra-ftpd against vsftpd, pure-ftpd and pyftpdlib on this machine.
# usage: bash bench/compare.sh [--binary build/lumbra-ftpd] [--reps 3] [--only W1,W3,W1-TLS] [--json F]
# The peers are unpacked from their Debian packages into bench/peers/ (never
# installed, never started as a service). vsftpd and pure-ftpd need root:
# vsftpd's anonymous mode and pure-ftpd's private mount namespace ask for it.
set -euo pipefail
cd "$(dirname "$0")"
packages=(vsftpd pure-ftpd python3-pyftpdlib libwrap0)
if [ ! -x peers/usr/sbin/vsftpd ] || [ ! -x peers/usr/sbin/pure-ftpd ] ||
   [ ! -d peers/usr/lib/python3/dist-packages/pyftpdlib ]; then
    mkdir -p peers/debs
    (cd peers/debs && apt-get download "${packages[@]}")
    for deb in peers/debs/*.deb; do dpkg-deb -x "$deb" peers; done
fi
# The floor of W1 (bench/w1_floor.c): a minimal receiver, built here.
if [ ! -x peers/w1-floor ] || [ w1_floor.c -nt peers/w1-floor ]; then
    cc -O2 -o peers/w1-floor w1_floor.c || echo "no C compiler: W1 floor not measured" >&2
fi
cd ..
exec python3 bench/compare.py "$@"
