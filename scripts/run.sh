#!/usr/bin/env bash
# The main job: installs what the build needs, builds httpmedia, installs it
# under ./install and runs httpmedia-cat. With no arguments the program serves
# its built-in sample from a loopback server of its own and streams it through
# the plug-in; any arguments go to httpmedia-cat (try --help).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" build

build="$root/build/run"
prefix="$root/install"
log="$build.log"
mkdir -p "$(dirname "$build")"
# The build's own chatter goes to a log, shown only when something fails.
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
         -DHTTPMEDIA_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX="$prefix" &&
       cmake --build "$build" -j "$(nproc)" &&
       cmake --install "$build"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "run.sh: the build failed (log: $log)" >&2
  exit 1
fi
exec "$prefix/bin/httpmedia-cat" "$@"
