#!/usr/bin/env bash
# Sets up a fresh machine (Debian packages), builds libkvc, kvcd and the tools,
# and runs the whole test suite. Usage: scripts/test.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${1:-build}"
scripts/setup.sh "$@"
cd "$build_dir"
ctest --output-on-failure -j2
