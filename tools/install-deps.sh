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
  dpkg-dev desktop-file-utils libcap2-bin \
  > /dev/null
