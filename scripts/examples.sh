#!/usr/bin/env bash
# Installs libkvc into a temporary prefix with cmake --install, builds the
# examples against that installed package through pkg-config and through
# find_package(kvc), and runs both builds against a kvcd started from there.
# Usage: scripts/examples.sh [build-dir]   (built first when not built yet)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build_dir="${1:-build}"
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  scripts/setup.sh "$build_dir"
else
  cmake --build "$build_dir" -j2 --target kvc kvcd >/dev/null
fi

work=$(mktemp -d /tmp/kvc-examples.XXXXXX)
kvcd_pid=""
cleanup() {
  if [ -n "$kvcd_pid" ]; then kill "$kvcd_pid" 2>/dev/null || true; wait "$kvcd_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

prefix="$work/prefix"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
pc_file=$(find "$prefix" -name kvc.pc | head -n1)
[ -n "$pc_file" ] || { echo "examples: kvc.pc was not installed" >&2; exit 1; }
export PKG_CONFIG_PATH="$(dirname "$pc_file")"
echo "installed into $prefix: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"

# pkg-config: the Makefile, in a copy of the sources. --define-prefix makes
# the installed kvc.pc point into the prefix it was copied to.
cp -r "$root/examples" "$work/pkgconfig"
make -s -C "$work/pkgconfig" PKG_CONFIG="pkg-config --define-prefix"

# find_package(kvc): a separate CMake project that knows only the prefix.
cmake -S "$root/examples" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake" -j2 >/dev/null

kvcd="$prefix/bin/kvcd"
[ -x "$kvcd" ] || kvcd="$build_dir/server/kvcd"
"$kvcd" --listen 127.0.0.1 --port 0 --db "$work/examples.db" --print-port --exit-with-parent \
  >"$work/port" 2>"$work/kvcd.log" &
kvcd_pid=$!
for _ in $(seq 1 100); do
  [ -s "$work/port" ] && break
  sleep 0.1
done
port=$(head -n1 "$work/port")
[ -n "$port" ] || { echo "examples: kvcd did not start" >&2; cat "$work/kvcd.log" >&2; exit 1; }
conn="IP=127.0.0.1;PORT=$port;DB=examples;USER=demo;PWD=demo"

failed=0
for build in pkgconfig cmake; do
  for example in connect_query prepared_params batch_insert lob_roundtrip encrypted_connect; do
    echo "--- $example (built with $build)"
    if ! "$work/$build/$example" "$conn"; then
      echo "examples: $example built with $build FAILED" >&2
      failed=1
    fi
  done
done
[ "$failed" -eq 0 ] && echo "examples: all passed"
exit "$failed"
