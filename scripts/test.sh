#!/usr/bin/env bash
# Builds httpmedia and runs every test.
# Usage: scripts/test.sh [--quick]
#   --quick  the release build and the Linux suite only, for working on the
#            code; the whole run (the default) is what CI runs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
"$root/scripts/setup.sh" build test
[ "$quick" -eq 1 ] || "$root/scripts/setup.sh" windows

jobs=$(nproc)
build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600
[ "$quick" -eq 0 ] || exit 0

# Each rule of the engine broken in turn must fail a test (see README,
# Tests). The check breaks the rules in the source files themselves, so it
# runs on a copy of the tree, beside the builds below, which read this one:
# its time goes mostly to the tests' polls, not to the processors.
mutation_tree="$root/build/mutation-tree"
mutation_log="$root/build/mutation-check.log"
rm -rf "$mutation_tree"
mkdir -p "$mutation_tree"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$mutation_tree" -xf -
"$mutation_tree/scripts/mutation-check.sh" >"$mutation_log" 2>&1 &
mutation_pid=$!
trap 'kill "$mutation_pid" 2>/dev/null || true' EXIT

# The Windows build: cross-compiled with mingw-w64 and run under Wine against
# the test server of the build above.
HTTPMEDIA_LINUX_BUILD="$build" "$root/scripts/windows-test.sh"

# The Linux suite again under AddressSanitizer and ThreadSanitizer, then a short fuzzing run.
"$root/scripts/sanitizer-test.sh"; "$root/scripts/fuzz.sh" --short

mutation_status=0
wait "$mutation_pid" || mutation_status=$?
trap - EXIT
echo "== mutation check (run beside the builds above; log: $mutation_log)" >&2
cat "$mutation_log"
exit "$mutation_status"
