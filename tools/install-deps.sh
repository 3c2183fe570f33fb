#!/usr/bin/env bash
# Installs everything Orvello needs to build, run and test on Debian 12.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config libssl-dev \
  qt6-base-dev qt6-base-dev-tools libqt6svg6 libgl1-mesa-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  clang libclang-rt-dev \
  python3 curl lftp \
  xvfb xauth x11-utils imagemagick fonts-noto-cjk qt6-translations-l10n trayer \
  appstream debhelper desktop-file-utils dpkg-dev fail2ban \
  libcap2-bin lintian systemd-journal-remote \
  > /dev/null
# The Korean locale, in which a test checks that listings keep English months.
$SUDO apt-get install -y -qq --no-install-recommends locales > /dev/null
locale -a | grep -ix 'ko_KR.utf8' > /dev/null || $SUDO localedef -i ko_KR -c -f UTF-8 ko_KR.UTF-8
