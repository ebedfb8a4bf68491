#!/usr/bin/env bash
# Builds the Linux test suite under AddressSanitizer with UndefinedBehavior-
# Sanitizer, and under ThreadSanitizer, and runs it under each. Any report
# fails the run: there are no suppressions.
# Usage: scripts/sanitizer-test.sh [address|thread]...  (default: both)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" build test

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(address thread)
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2

# Every report ends the process with a failure, with a stack to go by.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

for kind in "${kinds[@]}"; do
  test_jobs=$jobs
  case "$kind" in
    address) ;;
    thread)
      # The download's chunk mutex is shared by the user's processes: at
      # ThreadSanitizer's pace two test processes streaming at once hold each
      # other up past the scaled-down limits of the engine's tests. One at a
      # time, then.
      test_jobs=1
      ;;
    *)
      echo "unknown sanitizer: $kind (address or thread)" >&2
      exit 2
      ;;
  esac
  build="$root/build/sanitize-$kind"
  echo "== $kind sanitizer: build" >&2
  # The command-line host and the benchmarks add nothing the tests of the
  # plug-in need.
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHTTPMEDIA_SANITIZE="$kind" -DHTTPMEDIA_BUILD_TOOLS=OFF >/dev/null
  cmake --build "$build" -j "$jobs"
  echo "== $kind sanitizer: test" >&2
  ctest --test-dir "$build" --output-on-failure -j "$test_jobs" --timeout 300
done
