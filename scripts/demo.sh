#!/usr/bin/env bash
# Sets up and builds the project, then runs examples/demo.sql through kvcsql
# with an embedded kvcd: what it prints is the library's real output.
# Usage: scripts/demo.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${1:-build}"
scripts/setup.sh "$build_dir"
echo
echo "=== kvcsql --echo -f examples/demo.sql (embedded kvcd, temporary database) ==="
echo
KVCD="$build_dir/server/kvcd" exec "$build_dir/tools/kvcsql" --echo --stop-on-error -f examples/demo.sql
