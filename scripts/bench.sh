#!/usr/bin/env bash
# Runs the benchmarks: builds the bench programs with a fresh release build of
# httpmedia, serves the bodies from a private nginx on a loopback port and
# writes bench/results.md, bench/results.json, bench/window.png and
# bench/window.csv. The link rows reach nginx through a loopback proxy that
# delays each direction (bench/delay_proxy.py). Usage: scripts/bench.sh
# [--link-only], where --link-only measures only the link rows and keeps the
# other figures of the last full run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" build bench

build="$root/build/bench"
log="$build.log"
mkdir -p "$(dirname "$build")"
if ! { cmake -S "$root/bench" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release &&
       cmake --build "$build" -j "$(nproc)"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "bench.sh: the build failed (log: $log)" >&2
  exit 1
fi
# Debian's interpreter, which has Debian's matplotlib.
exec /usr/bin/python3 "$root/bench/run_bench.py" "$build" "$root/bench" "$@"
