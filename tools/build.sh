#!/usr/bin/env bash
# Configures and builds one flavour into build/ (default), build-asan/ or
# build-tsan/. Usage: tools/build.sh [default|asan|tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-default}
case "$flavour" in
  default) dir=build; extra=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    dir=build-asan; extra=(-DCMAKE_BUILD_TYPE=Debug -DLUMBRA_SANITIZE=address) ;;
  tsan)    dir=build-tsan; extra=(-DCMAKE_BUILD_TYPE=Debug -DLUMBRA_SANITIZE=thread) ;;
  *) echo "usage: $0 [default|asan|tsan]" >&2; exit 2 ;;
esac
# ccache, where installed, keeps rebuilds of unchanged sources short.
if command -v ccache > /dev/null; then extra+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$dir" -G Ninja "${extra[@]}" > /dev/null
cmake --build "$dir" -j"$(nproc)"
