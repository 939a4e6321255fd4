#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 and runs each for SECONDS
# (default 20) over its corpus: the seeds in fuzz/corpus/<target>/ and what
# this run finds, kept in build-fuzz/corpus/<target>/. A finding stops the
# run with the failing input in build-fuzz/findings/.
# Usage: fuzz/run.sh [SECONDS] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(reply_readers conn_string conversion)

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DKVC_BUILD_FUZZ=ON \
      -DKVC_BUILD_TESTS=OFF -DKVC_BUILD_SERVER=OFF -DKVC_BUILD_TOOLS=OFF >/dev/null
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
cmake --build build-fuzz -j"$jobs" --target $(printf '%s_fuzz ' "${targets[@]}")

mkdir -p build-fuzz/findings
# A small quarantine: the targets allocate a connection record per run.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=16
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in "${targets[@]}"; do
  echo "=== fuzz $target for ${seconds}s ==="
  mkdir -p "build-fuzz/corpus/$target"
  build-fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="build-fuzz/findings/${target}-" \
      "build-fuzz/corpus/$target" "fuzz/corpus/$target" 2>&1 | grep -E '^#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss|ERROR|SUMMARY|Test unit written' || true
  if ls build-fuzz/findings/${target}-* >/dev/null 2>&1; then
    echo "fuzz: $target found a failing input" >&2
    exit 1
  fi
done
echo "=== fuzzing passed ==="
