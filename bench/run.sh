#!/usr/bin/env bash
# Builds the benchmark suite and runs every figure side by side: libkvc's
# fetch (default malloc, heap trimming off, encrypted), batch, the raw
# transport, libpq in all its modes, the keystream and the row-count scale,
# each against canned-reply peers over loopback.
# Prints "NAME VALUE UNIT" per figure and "ratio NAME VALUE" per ratio on
# standard output; medians of several runs after a warm-up, spreads on
# standard error.
# Usage: bench/run.sh [--runs N] [--rows N] [--only PREFIX]
#   BENCH_BUILD_DIR (default build-bench) names the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${BENCH_BUILD_DIR:-build-bench}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVC_BUILD_BENCH=ON \
      -DKVC_BUILD_TESTS=OFF -DKVC_BUILD_TOOLS=OFF -DKVC_BUILD_SERVER=OFF >/dev/null
cmake --build "$build_dir" -j2 --target kvc_suite >/dev/null

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
echo "# machine: $(uname -n), ${cpu}, $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), Linux $(uname -r)"
echo "# payload: fetch rows of int4, int8, float8, char(16), datetime; batch rows of int4, int8, float8, char(16); loopback TCP"
exec "$build_dir/bench/kvc_suite" "$@"
