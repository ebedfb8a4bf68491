#!/usr/bin/env bash
# Runs the benchmarks: builds the bench programs with a fresh release build of
# httpmedia, serves the bodies from a private nginx on a loopback port and
# writes bench/results.md, bench/window.png and bench/window.csv.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" build bench

build="$root/build/bench"
cmake -S "$root/bench" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
# Debian's interpreter, which has Debian's matplotlib.
exec /usr/bin/python3 "$root/bench/run_bench.py" "$build" "$root/bench"
