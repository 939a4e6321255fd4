#!/usr/bin/env bash
# Installs the Debian packages the project needs (when missing), then
# configures and builds libkvc, kvcd and kvcsql.
# Usage: scripts/setup.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libsqlite3-dev libgmp-dev libedit-dev python3-dev python3-pytest python3-setuptools
          clang-14 libclang-rt-14-dev libpq-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi

build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
# Two jobs at most: the machines this runs on are small and shared.
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
cmake --build "$build_dir" -j"$jobs"
