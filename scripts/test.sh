#!/usr/bin/env bash
# Installs what is needed, builds the programs and benchmarks as a user gets them (-O3, GCC, every
# optimiser warning an error), and runs every test under AddressSanitizer +
# UndefinedBehaviorSanitizer and the threaded ones under ThreadSanitizer. No test is built or run
# twice over: a sanitizer run proves all a plain run would, and more.
#   scripts/test.sh [quick]    quick: the plain build with its tests, and those tests alone
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

began=$SECONDS
scripts/install-deps.sh
install_s=$((SECONDS - began))

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"

jobs=$(nproc)
# The quick run runs twice as many tests as cores at once: most of its end-to-end tests wait on
# real time (a stream of so many seconds), and the heaviest ones hold the "load" lock so they never
# run together. Under the sanitizers every test needs several times the CPU: one per core there,
# and one at a time under ThreadSanitizer, whose 5 to 15 times the CPU left the FFmpeg recording
# of a live stream short of audio when another threaded test ran beside it (it passes alone).
test_jobs=$((jobs * 2))
status=0

timings=()
phase() { # NAME COMMAND...: runs it, and keeps how long it took for the summary at the end
  local name=$1; shift
  local began=$SECONDS
  echo "=== $name"
  local result=0
  "$@" || result=$?
  timings+=("$name: $((SECONDS - began)) s")
  return $result
}

summary() {
  echo "=== time per phase"
  echo "install: $install_s s"
  printf '%s\n' "${timings[@]}"
  echo "whole: $SECONDS s"
}

run() {
  local flavour=$1; shift
  local dir=build
  [ "$flavour" = asan ] && dir=build-asan
  [ "$flavour" = tsan ] && dir=build-tsan
  # A build that fails ends the run: its tests would run the last build's programs.
  phase "$flavour build" scripts/build.sh "$flavour" || { summary; exit 1; }
  [ "$flavour" = plain ] && return 0
  # A test that hangs fails on its own after 15 minutes, not the whole run at CI's limit.
  phase "$flavour tests" bash -c 'cd "$1" && shift && ctest --output-on-failure --timeout 900 -j "$@"' \
    _ "$dir" "$(case "$flavour" in release) echo "$test_jobs" ;; tsan) echo 1 ;; *) echo "$jobs" ;; esac)" \
    "$@" || status=1
}

if [ "${1:-}" = quick ]; then
  run release
else
  run plain
  run asan
  run tsan -L threaded
fi
summary
exit $status
