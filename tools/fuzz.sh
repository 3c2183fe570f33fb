#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) into build-fuzz/ and
# runs each for SECONDS (default 25), starting from the seed corpus in
# tests/fuzz/corpus/<target>/. New inputs go to build-fuzz/corpus/<target>/,
# crashes to build-fuzz/artifacts/ (replay one: build-fuzz/tests/fuzz/<target> FILE).
# Usage: tools/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-25}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_session fuzz_tls_session fuzz_paths fuzz_port fuzz_settings)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLUMBRA_FUZZ=ON -DBUILD_TESTING=OFF > /dev/null
cmake --build build-fuzz --target "${targets[@]}"

mkdir -p build-fuzz/artifacts
# The targets build their trees under TMPDIR; libFuzzer ends a run without
# running exit handlers, so the folder is emptied here instead.
export TMPDIR=$PWD/build-fuzz/tmp
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
status=0
for target in "${targets[@]}"; do
  work=build-fuzz/corpus/$target
  mkdir -p "$work"
  extra=()
  if [ "$target" = fuzz_session ] || [ "$target" = fuzz_tls_session ]; then
    # The verbs come from the session's own table, so a new verb is fuzzed too.
    { cat tests/fuzz/fuzz_session.dict
      sed -n 's/^ *{"\([A-Z]*\)", \(true\|false\), .*/"\1"\n"\1 "/p' ftp/command_table.h
    } > "build-fuzz/$target.dict"
    extra+=(-dict="build-fuzz/$target.dict")
  elif [ -f "tests/fuzz/$target.dict" ]; then
    extra+=(-dict="tests/fuzz/$target.dict")
  fi
  echo "=== $target for ${seconds}s"
  if ! "build-fuzz/tests/fuzz/$target" "$work" "tests/fuzz/corpus/$target" \
      -max_total_time="$seconds" -max_len=20000 -timeout=60 -rss_limit_mb=2048 \
      -artifact_prefix="build-fuzz/artifacts/$target-" -print_final_stats=1 \
      "${extra[@]}" 2> "build-fuzz/$target.log"; then
    status=1
    echo "$target FAILED; see build-fuzz/$target.log and build-fuzz/artifacts/" >&2
    tail -n 40 "build-fuzz/$target.log" >&2
  fi
  grep -aE '^stat::number_of_executed_units|^stat::new_units_added' "build-fuzz/$target.log" || true
done
rm -rf "$TMPDIR"
exit $status
