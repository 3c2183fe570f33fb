#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test three times: a
# plain build, ASan + UBSan, and TSan (the threads; the desktop tests are
# left out there, as Qt's widget libraries are not instrumented); then runs
# every fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=0:exitcode=66:second_deadlock_stack=1:suppressions=$PWD/tools/tsan.supp

status=0
run() {
  local flavour=$1; shift
  echo "=== $flavour build"
  bash tools/build.sh "$flavour"
  local dir=build
  [ "$flavour" = default ] || dir=build-$flavour
  echo "=== $flavour tests"
  ctest --test-dir "$dir" --output-on-failure -j2 "$@" || status=1
}
run default
run asan
run tsan -LE gui
# Each fuzz target for a short bounded time; tools/fuzz.sh SECONDS runs longer.
echo "=== fuzz"
bash tools/fuzz.sh 25 || status=1
exit $status
