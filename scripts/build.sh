#!/usr/bin/env bash
# Configures and builds one flavour of the project.
#   scripts/build.sh [release|asan|tsan]   (default release)
# release is CMake's Release type (-O3): the optimiser-only warnings show here, not in a user's
# build. Every flavour treats warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-release}"
case "$flavour" in
  release) dir=build;      sanitize="" ;;
  asan)    dir=build-asan; sanitize="address,undefined" ;;
  tsan)    dir=build-tsan; sanitize="thread" ;;
  *) echo "usage: scripts/build.sh [release|asan|tsan]" >&2; exit 2 ;;
esac

extra=(-DCMAKE_BUILD_TYPE=Release)
if [ "$flavour" != release ]; then
  extra=(-DLIRAFON_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
fi
cmake -S . -B "$dir" -G Ninja -DLIRAFON_WERROR=ON -DLIRAFON_SANITIZE="$sanitize" "${extra[@]}" >/dev/null
cmake --build "$dir"
