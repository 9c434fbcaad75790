#!/usr/bin/env bash
# Configures and builds one flavour of the project.
#   scripts/build.sh [programs|plain|release|asan|tsan]   (default release)
# programs: the programs alone (scripts/run.sh), in build/ as release, without tests or benchmarks,
# so it needs none of their libraries. plain: the programs and the benchmarks, in build/ as
# release, without tests (the full test run's plain build: its tests run under the sanitizers). release is CMake's Release type (-O3) with everything: the
# optimiser-only warnings show here, not in a user's build. Every flavour treats warnings as
# errors.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-release}"
case "$flavour" in
  programs|plain|release) dir=build; sanitize="" ;;
  asan)    dir=build-asan; sanitize="address,undefined" ;;
  tsan)    dir=build-tsan; sanitize="thread" ;;
  *) echo "usage: scripts/build.sh [programs|plain|release|asan|tsan]" >&2; exit 2 ;;
esac

case "$flavour" in
  programs) extra=(-DLIRAFON_BUILD_TESTS=OFF -DLIRAFON_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Release) ;;
  plain)    extra=(-DLIRAFON_BUILD_TESTS=OFF -DLIRAFON_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release) ;;
  release)  extra=(-DLIRAFON_BUILD_TESTS=ON -DLIRAFON_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release) ;;
  *)        extra=(-DLIRAFON_BUILD_TESTS=ON -DLIRAFON_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
esac
# A compiler cache, when installed, serves a second run of the same flavour (a test run after a
# small change, CI's second pass) from what the first compiled.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Paths inside the checkout are hashed relative to it, so another clone hits the cache too.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(pwd)}"
fi
# The sanitizer builds use clang when it is there: it compiles this code base (Boost.Beast, Qt,
# GoogleTest) in about half GCC's time at -O0, and a second compiler's warnings come with it. The
# plain build stays on GCC, the compiler a user's build and the package use.
compiler=()
if [ -n "$sanitize" ] && command -v clang++ >/dev/null 2>&1; then
  compiler=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
fi
cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "${compiler[@]}" -DLIRAFON_WERROR=ON -DLIRAFON_SANITIZE="$sanitize" "${extra[@]}" >/dev/null
if [ "$flavour" = tsan ]; then
  cmake --build "$dir" --target threaded_tests # scripts/test.sh runs only those under it
else
  cmake --build "$dir"
fi
