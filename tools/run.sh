#!/usr/bin/env bash
# Installs what is needed, builds, and starts Orvello: the tray program when a
# display is available, else the server without a desktop with the stored
# settings (arguments are handed to it, e.g. --port 2121).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh default
if { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; } && [ -x build/lumbra ]; then
  exec build/lumbra
fi
exec build/lumbra-ftpd "$@"
