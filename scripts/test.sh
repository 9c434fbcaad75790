#!/usr/bin/env bash
# Installs what is needed and runs every test: the plain build, AddressSanitizer +
# UndefinedBehaviorSanitizer over all tests, and ThreadSanitizer over the threaded ones.
#   scripts/test.sh [quick]    quick: the plain build only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"

jobs=$(nproc)
status=0

run() {
  local flavour=$1; shift
  echo "=== $flavour build"
  scripts/build.sh "$flavour"
  local dir=build
  [ "$flavour" = asan ] && dir=build-asan
  [ "$flavour" = tsan ] && dir=build-tsan
  echo "=== $flavour tests"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") || status=1
}

run release
if [ "${1:-}" != quick ]; then
  run asan
  run tsan -L threaded
fi
exit $status
