#!/usr/bin/env bash
# Builds httpmedia and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" build

jobs=$(nproc)
build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600

# Each rule of the engine broken in turn must fail a test (see README, Tests).
"$root/scripts/mutation-check.sh"

# The Windows build: cross-compiled with mingw-w64 and run under Wine against
# the test server of the build above.
HTTPMEDIA_LINUX_BUILD="$build" "$root/scripts/windows-test.sh"

# The Linux suite again under AddressSanitizer and ThreadSanitizer, then a short fuzzing run.
"$root/scripts/sanitizer-test.sh"; "$root/scripts/fuzz.sh" --short
