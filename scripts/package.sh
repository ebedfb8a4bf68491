#!/usr/bin/env bash
# Builds the Debian package: a release build for /usr in build/package/, then
# cpack, which writes build/package/deb/httpmedia_VERSION_ARCH.deb. The
# package's run-time dependencies come from dpkg-shlibdeps (dpkg-dev).
# Usage: scripts/package.sh  (prints the path of the .deb)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" build

build="$root/build/package"
log="$build.log"
mkdir -p "$(dirname "$build")"
# The build's own chatter goes to a log, shown only when something fails.
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
         -DHTTPMEDIA_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr &&
       cmake --build "$build" -j "$(nproc)" &&
       (cd "$build" && cpack -G DEB -B "$build/deb"); } >"$log" 2>&1; then
  cat "$log" >&2
  echo "package.sh: the package build failed (log: $log)" >&2
  exit 1
fi
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb="$build/deb/httpmedia_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "package.sh: cpack made no $deb (log: $log)" >&2; exit 1; }
echo "$deb"
